// The audio library layer: a handle-based C-style API for devices, decoding streams,
// playback channels, syncs, DSP procedures, effects, the tempo stream and MIDI.
//
// Contract
// - Setup order: SetConfig (BUFFER, UPDATEPERIOD, CURVE_VOL, NET_*) → Init(device, 44100) →
//   streams and channels → Free. Streams may be created before Init only with STREAM_DECODE.
// - Handles are 32-bit values, 0 = none. A freed handle is never reused within a run, so a stale
//   handle fails with ERROR_HANDLE instead of reaching another stream.
// - Every call that fails sets the calling thread's error code (ErrorGetCode); a call that
//   succeeds sets it to ERROR_OK.
// - Threads: every call is legal from any thread. Sync procedures run on the library's sync
//   thread (END of a played channel, META, DOWNLOAD) or, for decoding channels, on the thread
//   that pulls the data; DSP procedures and stream procedures run on the mixing thread. A
//   callback may call back into the library except StreamFree/ChannelStop of its own channel
//   from a DSP or stream procedure.
// - Latency: a playing channel is rendered up to BUFFER ms ahead of the device, refilled every
//   UPDATEPERIOD ms; DSP procedures therefore run that far ahead of what is heard. Positions
//   reported for a playing channel are those of the sound being heard.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace audio {

using Handle = std::uint32_t;   // any handle; 0 = none
using HSTREAM = Handle;
using HCHANNEL = Handle;
using HSYNC = Handle;
using HDSP = Handle;
using HFX = Handle;
using HSOUNDFONT = Handle;
using QWORD = std::uint64_t;
using DWORD = std::uint32_t;

// ---- Error codes (ErrorGetCode) ---------------------------------------------------------
enum : int {
  ERROR_OK = 0,
  ERROR_MEM = 1,        // out of memory
  ERROR_FILEOPEN = 2,   // the file or URL could not be opened / connected
  ERROR_DRIVER = 3,     // no usable audio driver
  ERROR_BUFLOST = 4,
  ERROR_HANDLE = 5,     // not a valid handle
  ERROR_FORMAT = 6,     // unsupported sample format
  ERROR_POSITION = 7,   // invalid position
  ERROR_INIT = 8,       // Init has not been called
  ERROR_START = 9,
  ERROR_SSL = 10,       // TLS failure
  ERROR_ALREADY = 14,   // already initialised / already playing
  ERROR_NOTAUDIO = 17,
  ERROR_NOCHAN = 18,
  ERROR_ILLTYPE = 19,   // an illegal type was given
  ERROR_ILLPARAM = 20,  // an illegal parameter was given
  ERROR_NO3D = 21,
  ERROR_DEVICE = 23,    // illegal device number
  ERROR_NOPLAY = 24,    // not playing
  ERROR_FREQ = 25,
  ERROR_NOTFILE = 27,   // not a file stream
  ERROR_NOHW = 29,
  ERROR_EMPTY = 31,     // no data / empty
  ERROR_NONET = 32,     // no network connection could be opened (host not found)
  ERROR_CREATE = 33,
  ERROR_NOFX = 34,      // effect not available
  ERROR_NOTAVAIL = 37,  // requested data or tag is not available
  ERROR_DECODE = 38,    // the channel is (or is not) a decoding channel
  ERROR_DX = 39,
  ERROR_TIMEOUT = 40,   // the connection timed out
  ERROR_FILEFORM = 41,  // unsupported file format
  ERROR_SPEAKER = 42,
  ERROR_VERSION = 43,
  ERROR_CODEC = 44,     // the codec is not available
  ERROR_ENDED = 45,     // the channel or file has ended
  ERROR_BUSY = 46,      // the device is busy
  ERROR_UNSTREAMABLE = 47,
  ERROR_PROTOCOL = 48,  // unsupported protocol
  ERROR_DENIED = 49,
  ERROR_UNKNOWN = -1,
};

// ---- Configuration (SetConfig / GetConfig, SetConfigPtr) ---------------------------------
enum : DWORD {
  CONFIG_BUFFER = 0,        // playback buffer length in ms (default 500)
  CONFIG_UPDATEPERIOD = 1,  // how often the mixing thread refills buffers, ms (default 100)
  CONFIG_CURVE_VOL = 7,     // volume curve: 0 linear, 1 logarithmic
  CONFIG_NET_TIMEOUT = 11,  // connect and read time-out of network streams, ms
  CONFIG_NET_BUFFER = 12,   // network read-ahead in ms of audio
  CONFIG_NET_PREBUF = 15,   // percent of NET_BUFFER filled before a network stream plays
  CONFIG_NET_AGENT = 16,    // user agent of network streams (SetConfigPtr, text)
  CONFIG_MIDI_VOICES = 0x10401,  // voices of new MIDI streams
};

// ---- Devices ------------------------------------------------------------------------------
enum : DWORD {
  DEVICE_ENABLED = 1,
  DEVICE_DEFAULT = 2,
  DEVICE_INIT = 4,
};
struct DeviceInfo {
  std::string name;    // as the system names it
  std::string driver;  // the audio driver behind it
  DWORD flags = 0;     // DEVICE_*
};

// ---- Stream and sample flags --------------------------------------------------------------
enum : DWORD {
  SAMPLE_FLOAT = 0x100,        // 32-bit float samples
  SAMPLE_MONO = 2,
  STREAM_PRESCAN = 0x20000,
  STREAM_AUTOFREE = 0x40000,
  STREAM_RESTRATE = 0x80000,
  STREAM_BLOCK = 0x100000,     // network: download in small pieces, keep no whole file
  STREAM_DECODE = 0x200000,    // decoding channel: not played, data pulled with ChannelGetData
  STREAM_STATUS = 0x800000,    // network: keep the HTTP/ICY status headers
  MIDI_SINCINTER = 0x800000,   // MIDI streams: highest-quality interpolation
  FX_FREESOURCE = 0x10000,     // tempo stream frees its source with itself
  UNICODE_FLAG = 0x80000000u,  // paths are UTF-8 on this platform; accepted and ignored
};

// ---- Channel activity ---------------------------------------------------------------------
enum : DWORD {
  ACTIVE_STOPPED = 0,
  ACTIVE_PLAYING = 1,
  ACTIVE_STALLED = 2,  // playing, but the source has no data yet (network)
  ACTIVE_PAUSED = 3,
};

// ---- ChannelGetData length flags ------------------------------------------------------------
enum : DWORD {
  DATA_AVAILABLE = 0,          // played channels: bytes buffered, nothing copied
  DATA_FLOAT = 0x40000000,     // deliver 32-bit float whatever the channel's sample format
};

// ---- Positions ----------------------------------------------------------------------------
enum : DWORD {
  POS_BYTE = 0,
  POS_FLUSH = 0x1000000,  // with SetPosition: discard buffered data (and the tempo backlog)
};

// ---- Attributes ---------------------------------------------------------------------------
enum : DWORD {
  ATTRIB_FREQ = 1,      // playback sample rate in Hz (changes speed and pitch)
  ATTRIB_VOL = 2,       // volume 0..1 (more amplifies), shaped by CONFIG_CURVE_VOL
  ATTRIB_PAN = 3,       // -1 left .. 1 right
  ATTRIB_VBR = 6,       // read-only: 1 when the bitrate varies
  ATTRIB_BITRATE = 12,  // read-only: bitrate in kbit/s
  ATTRIB_BUFFER = 13,   // playback buffering length in seconds (0 = none, default CONFIG_BUFFER)
  ATTRIB_TEMPO = 0x10000,        // tempo stream: tempo change in percent (-95..5000)
  ATTRIB_TEMPO_PITCH = 0x10001,  // tempo stream: pitch shift in semitones (-60..60)
  ATTRIB_TEMPO_FREQ = 0x10002,   // tempo stream: sample rate the source is read at (rate change)
  ATTRIB_TEMPO_OPTION_USE_AA_FILTER = 0x10010,
  ATTRIB_TEMPO_OPTION_AA_FILTER_LENGTH = 0x10011,
  ATTRIB_TEMPO_OPTION_USE_QUICKALGO = 0x10012,
  ATTRIB_TEMPO_OPTION_SEQUENCE_MS = 0x10013,    // 0 = automatic
  ATTRIB_TEMPO_OPTION_SEEKWINDOW_MS = 0x10014,  // 0 = automatic
  ATTRIB_TEMPO_OPTION_OVERLAP_MS = 0x10015,
  ATTRIB_TEMPO_OPTION_PREVENT_CLICK = 0x10016,
};

// ---- Tag blocks (ChannelGetTags) -----------------------------------------------------------
enum : DWORD {
  TAG_ID3 = 0,       // the 128-byte ID3v1 record
  TAG_ID3V2 = 1,     // the raw ID3v2 tag, header included
  TAG_OGG = 2,       // Vorbis comments: NUL-terminated "KEY=value" texts, then an empty text
  TAG_HTTP = 3,      // HTTP response header lines, NUL-terminated each, then an empty text
  TAG_ICY = 4,       // ICY response header lines, same form
  TAG_META = 5,      // the last Shoutcast metadata block, e.g. StreamTitle='...';
  TAG_APE = 6,       // APE tag items, same form as TAG_OGG
  TAG_MP4 = 7,       // MP4 metadata items, same form as TAG_OGG
  TAG_WMA = 8,       // ASF metadata items, same form as TAG_OGG
  TAG_MF = 13,       // not produced on this platform
  TAG_RIFF_INFO = 0x100,  // RIFF INFO items, same form as TAG_OGG
};

// ---- Syncs --------------------------------------------------------------------------------
enum : DWORD {
  SYNC_POS = 0,
  SYNC_END = 2,       // the channel reached its end (a played channel: when it is heard)
  SYNC_META = 4,      // new stream metadata arrived (network ICY stream)
  SYNC_DOWNLOAD = 7,  // the network download completed
  SYNC_MIXTIME = 0x40000000,  // call at render time rather than when heard
  SYNC_ONETIME = 0x80000000u, // remove the sync after it fired once
};
using SYNCPROC = void (*)(HSYNC sync, DWORD channel, DWORD data, void* user);

// ---- DSP procedures, stream procedures, effects ---------------------------------------------
// A DSP procedure edits `length` bytes of float samples of the channel's format in place.
using DSPPROC = void (*)(HDSP dsp, DWORD channel, void* buffer, DWORD length, void* user);
// A stream procedure fills up to `length` bytes; returns bytes written, | STREAMPROC_END at the end.
using STREAMPROC = DWORD (*)(HSTREAM stream, void* buffer, DWORD length, void* user);
enum : DWORD { STREAMPROC_END = 0x80000000u };

// Effect types attached with ChannelSetFX. The effects themselves register through fx.h.
enum : DWORD {
  FX_DX8_CHORUS = 0, FX_DX8_COMPRESSOR = 1, FX_DX8_DISTORTION = 2, FX_DX8_ECHO = 3,
  FX_DX8_FLANGER = 4, FX_DX8_GARGLE = 5, FX_DX8_I3DL2REVERB = 6, FX_DX8_PARAMEQ = 7,
  FX_DX8_REVERB = 8, FX_VOLUME = 9,
};

// ---- Channel information --------------------------------------------------------------------
enum : DWORD {
  CTYPE_STREAM = 0x10000,
  CTYPE_STREAM_FILE = 0x10005,
  CTYPE_STREAM_URL = 0x10006,
  CTYPE_STREAM_MIDI = 0x10d00,
  CTYPE_STREAM_TEMPO = 0x1f200,
};
struct ChannelInfo {
  DWORD freq = 0;      // sample rate
  DWORD chans = 0;     // channel count
  DWORD flags = 0;     // SAMPLE_FLOAT, STREAM_DECODE, ...
  DWORD ctype = 0;     // CTYPE_*
  DWORD origres = 0;   // resolution of the original data in bits (0 unknown)
  std::string filename;
};

// ---- Library --------------------------------------------------------------------------------
int ErrorGetCode();
bool SetConfig(DWORD option, DWORD value);
DWORD GetConfig(DWORD option);  // (DWORD)-1 on failure
bool SetConfigPtr(DWORD option, const char* value);

// Devices are numbered from 1 (0 is the no-sound device, which advances in real time).
// -1 in Init means the system default device.
bool GetDeviceInfo(DWORD device, DeviceInfo* info);
bool Init(int device, DWORD freq, DWORD flags = 0);
bool Free();
int GetDevice();  // device in use, -1 with ERROR_INIT when not started

// ---- Streams --------------------------------------------------------------------------------
HSTREAM StreamCreateFile(const std::string& path, QWORD offset, QWORD length, DWORD flags);
// Opens an http:// or https:// stream; blocks until the stream's format is known (or fails).
HSTREAM StreamCreateURL(const std::string& url, DWORD offset, DWORD flags);
// A stream whose data comes from `proc`, called on the mixing thread (or the pulling thread of
// a decoding channel).
HSTREAM StreamCreate(DWORD freq, DWORD chans, DWORD flags, STREAMPROC proc, void* user);
bool StreamFree(HSTREAM handle);
// Network download progress of a URL stream: bytes read so far, and the total (-1 unknown).
QWORD StreamGetDownloaded(HSTREAM handle);

// ---- Channels -------------------------------------------------------------------------------
bool ChannelPlay(HCHANNEL handle, bool restart);
bool ChannelPause(HCHANNEL handle);
bool ChannelStop(HCHANNEL handle);
DWORD ChannelIsActive(HCHANNEL handle);
bool ChannelGetInfo(HCHANNEL handle, ChannelInfo* info);
QWORD ChannelGetLength(HCHANNEL handle, DWORD mode);    // (QWORD)-1 when unknown
QWORD ChannelGetPosition(HCHANNEL handle, DWORD mode);  // (QWORD)-1 on failure
bool ChannelSetPosition(HCHANNEL handle, QWORD pos, DWORD mode);
double ChannelBytes2Seconds(HCHANNEL handle, QWORD bytes);  // negative on failure
QWORD ChannelSeconds2Bytes(HCHANNEL handle, double seconds);
// Decoding channels: pulls up to `length` bytes of sample data; returns bytes, (DWORD)-1 on error
// or at the end (ERROR_ENDED). Played channels: a copy of the most recent output.
DWORD ChannelGetData(HCHANNEL handle, void* buffer, DWORD length);
bool ChannelSetAttribute(HCHANNEL handle, DWORD attrib, float value);
bool ChannelGetAttribute(HCHANNEL handle, DWORD attrib, float* value);
// Returns the tag block of `tags` kind as bytes in the documented form; empty with
// ERROR_NOTAVAIL when the channel has none. The returned block stays valid until the next call
// for the same channel and kind, or until the channel is freed; callers copy what they keep.
std::vector<char> ChannelGetTags(HCHANNEL handle, DWORD tags);

HSYNC ChannelSetSync(HCHANNEL handle, DWORD type, QWORD param, SYNCPROC proc, void* user);
bool ChannelRemoveSync(HCHANNEL handle, HSYNC sync);
// DSP procedures run in descending priority (higher first); equal priorities in order set.
HDSP ChannelSetDSP(HCHANNEL handle, DSPPROC proc, void* user, int priority);
bool ChannelRemoveDSP(HCHANNEL handle, HDSP dsp);
// Effects run in the same chain as DSP procedures, ordered by priority. A type with no
// registered effect returns 0 with ERROR_ILLTYPE.
HFX ChannelSetFX(HCHANNEL handle, DWORD type, int priority);
bool ChannelRemoveFX(HCHANNEL handle, HFX fx);
bool FXSetParameters(HFX fx, const void* params);
bool FXGetParameters(HFX fx, void* params);

// ---- Tempo stream ---------------------------------------------------------------------------
// A stream that changes tempo, pitch and rate of a decoding channel. With FX_FREESOURCE the
// source is freed with the tempo stream. Positions and lengths are those of the source.
HSTREAM TempoCreate(HSTREAM source, DWORD flags);

// ---- MIDI -----------------------------------------------------------------------------------
struct MidiFont {
  HSOUNDFONT font = 0;
  int preset = -1;  // -1: all presets
  int bank = 0;
};
HSTREAM MidiStreamCreateFile(const std::string& path, QWORD offset, QWORD length, DWORD flags,
                             DWORD freq);
HSOUNDFONT MidiFontInit(const std::string& path, DWORD flags);
bool MidiFontFree(HSOUNDFONT font);
// handle 0 sets the default fonts of streams created later.
bool MidiStreamSetFonts(HSTREAM handle, const MidiFont* fonts, DWORD count);
// The soundfont Debian installs, or empty when none is installed.
std::string DefaultSoundFontPath();

// ---- Format modules -------------------------------------------------------------------------
// The decoders this layer offers, by module name, and whether each is usable on this system.
struct FormatModule {
  std::string name;        // e.g. "flac"
  std::string describes;   // e.g. "FLAC (FFmpeg)"
  bool available = false;
};
std::vector<FormatModule> FormatModules();

}  // namespace audio
