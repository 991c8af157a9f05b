// SPDX-License-Identifier: MIT
// A plug-in held by a program that embeds the host (the Python module, a notebook, a batch
// worker): one instance whose settings outlive it, whole signals processed from planar buffers
// the caller owns, and the same session either in this process or in a helper process.
#pragma once

#include "tools/hostlib/midi_file.h"

#include <trimwise/host/errors.h>
#include <trimwise/host/plugin.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace plughost {

// What a session tells about its plug-in. Fixed while the session lives, except the latency.
struct SessionInfo {
   std::string path;
   std::string name;
   std::string vendor;
   int32_t uniqueId = 0;
   int32_t inputs = 0;
   int32_t outputs = 0;
   int32_t parameters = 0;
   int32_t programs = 0;
   int32_t category = 0;
   int32_t latency = 0; // frames, as the record's initial delay says
   bool instrument = false;
   bool doublePrecision = false;
   bool chunks = false; // the plug-in keeps its state in a chunk
};

// One short MIDI message at a time in seconds from the start of a processing call.
struct TimedMidi {
   double seconds;
   std::string bytes; // one to three bytes
};

// One call to process a signal. The signal, if any, is `channels` planar channels of `frames`.
struct ProcessPlan {
   int channels = 0;
   size_t frames = 0;
   double sampleRate = 0.0; // 0: the session's
   int32_t blockSize = 0;   // 0: the session's
   bool reset = true;       // a fresh instance with the current settings, so no tail leaks in
   double tail = 0.0;       // seconds rendered after the signal or the last event
   double duration = -1.0;  // without a signal: seconds to render (negative: the events' end)
   bool compensateLatency = true;
   std::vector<TimedMidi> midi; // in order of time
   std::string midiFile;        // a Standard MIDI File, instead of `midi`
};

// One audio file through a session (or a chain of them), streamed through the one file
// pipeline the command line uses: same formats, channel rules, MIDI and tail.
struct FileJob {
   std::string input;
   std::string output;
   bool overwrite = false;
   std::string encoding = "same"; // as plughost process -e takes it
   std::string midi;              // a Standard MIDI File for an instrument first in the chain
   double tail = 2.0;             // seconds rendered after the last MIDI event
   int32_t blockSize = 0;         // 0: the first session's
   int precision = 32;            // 32 or 64-bit samples
};

// What a file job did.
struct FileOutcome {
   size_t frames = 0;
   int sampleRate = 0;
   int inputChannels = 0;
   int outputChannels = 0;
   std::string outputFormat; // "WAV, 32-bit float"
   std::string formatNote;   // why another encoding than the input's was chosen, or empty
   uint64_t clipped = 0;     // samples beyond full scale clipped in an integer encoding
};

// Called between chunks of a long processing call; it may throw to stop the call.
using KeepGoing = std::function<void()>;

// A plug-in and its settings, on top of the facade's Instance. Not for use from two threads at
// once; two sessions may process on two threads at the same time. Every operation may throw the
// errors of <trimwise/host/errors.h>; a session in a helper process throws PluginCrashed or
// PluginTimeout, naming the call in flight, where the plug-in would have ended this process.
class PluginSession {
public:
   virtual ~PluginSession() = default;

   virtual const SessionInfo& info() const = 0;
   virtual double sampleRate() const = 0;
   virtual int32_t blockSize() const = 0;

   // Parameters by index (0 .. info().parameters - 1); others are BadArgument.
   virtual std::string parameterName(int32_t index) = 0;
   virtual std::string parameterLabel(int32_t index) = 0;
   virtual std::string parameterDisplay(int32_t index) = 0;
   virtual float parameterValue(int32_t index) = 0;
   virtual void setParameterValue(int32_t index, float value) = 0;
   // Sets a parameter from text as `plughost --param` takes it: "0.5", "-6 dB", "-inf".
   virtual void setParameterText(int32_t index, const std::string& text) = 0;
   // The index of a parameter named as `--param` names one: exact, any case, or a unique start.
   virtual int32_t findParameter(const std::string& name) = 0;

   virtual std::vector<std::string> programNames() = 0;
   virtual int32_t program() = 0;
   virtual void setProgram(int32_t index) = 0;

   // The plug-in's state as Instance::state() saves it: its chunk where it keeps one, else the
   // program and every parameter. loadState() throws BadArgument for bytes it refuses.
   virtual std::vector<unsigned char> saveState() = 0;
   virtual void loadState(const std::vector<unsigned char>& state) = 0;

   // Memory for the output of process(), of at least `bytes` bytes: in a helper process's
   // session, memory the helper shares, so that it writes the result straight into it. Null:
   // any memory will do, the caller's own allocation is best.
   virtual std::shared_ptr<void> outputMemory(size_t /*bytes*/) { return nullptr; }

   // Frames per output channel that process() writes for `plan`.
   virtual size_t outputFrames(const ProcessPlan& plan) = 0;
   // Processes plan.channels planar channels of plan.frames (`in` null when there are none)
   // into info().outputs channels of outputFrames(plan) frames at `out`. Sample is float or
   // double; double runs the 64-bit function where the plug-in has it.
   virtual void process(const ProcessPlan& plan, const float* const* in, float* const* out,
                        const KeepGoing& keepGoing) = 0;
   virtual void process(const ProcessPlan& plan, const double* const* in, double* const* out,
                        const KeepGoing& keepGoing) = 0;

   // Runs one file through fresh instances with the current settings, at the file's rate.
   virtual FileOutcome processFile(const FileJob& job, const KeepGoing& keepGoing) = 0;
};

// Runs one file through the sessions in series. A chain of several sessions runs in this
// process, so each of them must be one openSession() made (BadArgument otherwise).
FileOutcome processFile(const std::vector<PluginSession*>& chain, const FileJob& job,
                        const KeepGoing& keepGoing);

// Loads `path` (a path, or a name on the search path) into this process and opens an instance.
// Throws LoadError if it cannot be loaded.
std::unique_ptr<PluginSession> openSession(const std::string& path, double sampleRate,
                                           int32_t blockSize);

// The same session hosted by `helper serve` in a child process started by exec; a crash, an
// abort, an exception or a call that makes no progress for `timeoutSeconds` in the plug-in
// throws PluginCrashed or PluginTimeout and ends the child, never this process. `helper` is the
// plughost executable.
std::unique_ptr<PluginSession> openIsolatedSession(const std::string& helper,
                                                   const std::string& path, double sampleRate,
                                                   int32_t blockSize, double timeoutSeconds);

// Every plug-in on the search path, each probed in a child process as trimwise::host::scan()
// does, but by a helper started by exec: a caller with threads (an interpreter) is never forked.
std::vector<trimwise::host::PluginInfo> scanInHelper(const std::string& helper,
                                                     double probeTimeout);

// The plughost executable a session is isolated with: $PLUGHOST_HELPER, else the installed one.
std::string defaultHelper();

// Events at frames of `sampleRate`, checked: times in order, none negative, one to three bytes.
MidiSequence sequenceFromEvents(const std::vector<TimedMidi>& events, double sampleRate);

// Serves one session over the socket `fd` until the other end closes it (`plughost serve`).
// `calls` is the shared memory holding the calls in flight. Returns the exit status.
int serveSession(int fd, int callsFd);

} // namespace plughost
