// The tempo processors and their factory.
#include "tempo.h"

#include "settings.h"

namespace {
std::unique_ptr<TempoProcessor> g_processor;  // UI thread only
int g_algorithm = 0;

std::unique_ptr<TempoProcessor> MakeProcessor(int id) {
  switch (id) {
    case 1: return std::make_unique<SpeedyProcessor>();
    case 2: return std::make_unique<SignalsmithProcessor>();
    default: return std::make_unique<SoundTouchProcessor>();
  }
}

// Byte length or position of the stream in seconds; 0 when unknown.
double BytesToSeconds(audio::HSTREAM stream, audio::QWORD bytes) {
  if (bytes == static_cast<audio::QWORD>(-1)) return 0;
  double s = audio::ChannelBytes2Seconds(stream, bytes);
  return s > 0 ? s : 0;
}
}  // namespace

TempoProcessor* CurrentTempoProcessor() {
  if (!g_processor) g_processor = MakeProcessor(g_algorithm);
  return g_processor.get();
}

void SelectTempoAlgorithm(int id) { g_algorithm = (id >= 0 && id <= 2) ? id : 0; }

void DestroyTempoProcessor() {
  if (!g_processor) return;
  g_processor->Release();
  g_processor.reset();
}

// ---- SoundTouchProcessor ----

SoundTouchProcessor::~SoundTouchProcessor() { Release(); }

audio::HSTREAM SoundTouchProcessor::Create(audio::HSTREAM source, float source_rate) {
  source_ = source;
  source_rate_ = source_rate;
  output_ = audio::TempoCreate(source, audio::SAMPLE_FLOAT | audio::FX_FREESOURCE);
  if (!output_) return 0;
  const AppSettings& s = Settings();
  using namespace audio;
  ChannelSetAttribute(output_, ATTRIB_TEMPO_OPTION_USE_AA_FILTER, s.AntiAliasFilter ? 1.0f : 0.0f);
  ChannelSetAttribute(output_, ATTRIB_TEMPO_OPTION_AA_FILTER_LENGTH, static_cast<float>(s.AAFilterLength));
  ChannelSetAttribute(output_, ATTRIB_TEMPO_OPTION_USE_QUICKALGO, s.QuickAlgorithm ? 1.0f : 0.0f);
  ChannelSetAttribute(output_, ATTRIB_TEMPO_OPTION_SEQUENCE_MS, static_cast<float>(s.SequenceMs));
  ChannelSetAttribute(output_, ATTRIB_TEMPO_OPTION_SEEKWINDOW_MS, static_cast<float>(s.SeekWindowMs));
  ChannelSetAttribute(output_, ATTRIB_TEMPO_OPTION_OVERLAP_MS, static_cast<float>(s.OverlapMs));
  ChannelSetAttribute(output_, ATTRIB_TEMPO_OPTION_PREVENT_CLICK, s.PreventClick ? 1.0f : 0.0f);
  ChannelSetAttribute(output_, ATTRIB_TEMPO, tempo_);
  ChannelSetAttribute(output_, ATTRIB_TEMPO_PITCH, pitch_);
  ChannelSetAttribute(output_, ATTRIB_TEMPO_FREQ, rate_ * source_rate_);
  return output_;
}

void SoundTouchProcessor::Release() {
  if (output_) audio::StreamFree(output_);  // frees the source with it
  output_ = 0;
  source_ = 0;
}

void SoundTouchProcessor::SetTempo(float percent) {
  tempo_ = percent;
  if (output_) audio::ChannelSetAttribute(output_, audio::ATTRIB_TEMPO, tempo_);
}

void SoundTouchProcessor::SetPitch(float semitones) {
  pitch_ = semitones;
  if (output_) audio::ChannelSetAttribute(output_, audio::ATTRIB_TEMPO_PITCH, pitch_);
}

void SoundTouchProcessor::SetRate(float factor) {
  rate_ = factor;
  if (output_) audio::ChannelSetAttribute(output_, audio::ATTRIB_TEMPO_FREQ, rate_ * source_rate_);
}

double SoundTouchProcessor::GetLengthSeconds() const {
  if (!output_) return 0;
  return BytesToSeconds(output_, audio::ChannelGetLength(output_, audio::POS_BYTE));
}

double SoundTouchProcessor::GetPositionSeconds() const {
  if (!output_) return 0;
  return BytesToSeconds(output_, audio::ChannelGetPosition(output_, audio::POS_BYTE));
}

void SoundTouchProcessor::SetPositionSeconds(double seconds) {
  if (!output_) return;
  audio::QWORD bytes = audio::ChannelSeconds2Bytes(output_, seconds);
  if (bytes == static_cast<audio::QWORD>(-1)) return;
  audio::ChannelSetPosition(output_, bytes, audio::POS_BYTE | audio::POS_FLUSH);
}

// ---- Speedy and Signalsmith ----
// The speech speed-up and spectral stretch engines are not built yet. Create reports failure
// and attaches nothing, so opening media falls back to SoundTouch as it does for any engine
// that cannot start; the next open tries the selected algorithm again.

audio::HSTREAM UnbuiltProcessor::Create(audio::HSTREAM, float source_rate) {
  source_rate_ = source_rate;
  return 0;
}
