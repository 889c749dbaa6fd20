// The tempo processors: the one stage between the decoding channel and the output stream.
// Every position, length and seek of audio goes through the current processor. Exactly one
// processor exists at a time; it is replaced at every media open.
//
// Calling order when media is opened: SelectTempoAlgorithm(id), DestroyTempoProcessor(),
// CurrentTempoProcessor(), SetTempo, SetPitch, Create(source, rate). When Create gives 0 with
// an algorithm other than 0, the player destroys it and repeats the steps with algorithm 0.
// UI thread only.
#pragma once

#include <memory>

#include "audio.h"

class TempoProcessor {
 public:
  virtual ~TempoProcessor() = default;
  // Attaches to the decoding channel and creates the output stream; 0 on failure.
  virtual audio::HSTREAM Create(audio::HSTREAM source, float source_rate) = 0;
  // Frees the output stream and forgets the source.
  virtual void Release() = 0;
  virtual void SetTempo(float percent) = 0;      // -75..200, 0 = unchanged
  virtual void SetPitch(float semitones) = 0;    // -12..12
  virtual void SetRate(float factor) = 0;        // processor-internal rate, 1 = unchanged
  virtual float GetTempo() const { return tempo_; }
  virtual float GetPitch() const { return pitch_; }
  virtual float GetRate() const { return rate_; }
  virtual bool IsActive() const = 0;
  virtual int AlgorithmId() const = 0;           // 0 SoundTouch, 1 Speedy, 2 Signalsmith
  virtual double GetLengthSeconds() const = 0;   // 0 when unknown or not attached
  virtual double GetPositionSeconds() const = 0; // 0 when not attached
  virtual void SetPositionSeconds(double seconds) = 0;
  virtual audio::HSTREAM GetSourceChannel() const { return source_; }

 protected:
  audio::HSTREAM source_ = 0;
  audio::HSTREAM output_ = 0;
  float source_rate_ = 44100.0f;
  float tempo_ = 0.0f;
  float pitch_ = 0.0f;
  float rate_ = 1.0f;
};

// The tempo stream of the audio library on SoundTouch. Its output stream owns the source.
class SoundTouchProcessor : public TempoProcessor {
 public:
  ~SoundTouchProcessor() override;
  audio::HSTREAM Create(audio::HSTREAM source, float source_rate) override;
  void Release() override;
  void SetTempo(float percent) override;
  void SetPitch(float semitones) override;
  void SetRate(float factor) override;
  bool IsActive() const override { return output_ != 0; }
  int AlgorithmId() const override { return 0; }
  double GetLengthSeconds() const override;
  double GetPositionSeconds() const override;
  void SetPositionSeconds(double seconds) override;
};

// Speech speed-up (algorithm 1) and spectral stretch (algorithm 2). Their engines are not part
// of the program yet: Create reports failure, so the player falls back to SoundTouch.
class UnbuiltProcessor : public TempoProcessor {
 public:
  explicit UnbuiltProcessor(int id) : id_(id) {}
  audio::HSTREAM Create(audio::HSTREAM source, float source_rate) override;
  void Release() override {}
  void SetTempo(float percent) override { tempo_ = percent; }
  void SetPitch(float semitones) override { pitch_ = semitones; }
  void SetRate(float factor) override { rate_ = factor; }
  bool IsActive() const override { return false; }
  int AlgorithmId() const override { return id_; }
  double GetLengthSeconds() const override { return 0; }
  double GetPositionSeconds() const override { return 0; }
  void SetPositionSeconds(double) override {}

 private:
  int id_;
};

class SpeedyProcessor : public UnbuiltProcessor {
 public:
  SpeedyProcessor() : UnbuiltProcessor(1) {}
};

class SignalsmithProcessor : public UnbuiltProcessor {
 public:
  SignalsmithProcessor() : UnbuiltProcessor(2) {}
};

// The one processor; created of the selected algorithm when none exists.
TempoProcessor* CurrentTempoProcessor();
// The algorithm of the next creation: 0..2, anything else means 0.
void SelectTempoAlgorithm(int id);
// Releases and destroys the current processor.
void DestroyTempoProcessor();
