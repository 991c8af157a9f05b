// SPDX-License-Identifier: MIT
/// @file
/// The host library's facade, part 2: one running instance of a plug-in. Stable: names here
/// change only with the major version.
///
///   instance.set("Left Gain=-6 dB");
///   instance.process(inputs, outputs, frames);   // float or double, any number of frames
///
/// Threads. An instance belongs to one thread at a time (its "control thread"), except that
/// process() may run on another thread (an "audio thread") while the control thread reads and
/// sets parameter values with value() and setValue(), as hosts do. Every other function is for
/// the control thread and not while process() runs, unless its comment says otherwise.
#pragma once

#include <trimwise/host/errors.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace trimwise::host {

namespace raw {
class PluginInstance;
}

/// What the host tells an instance when it opens it.
struct InstanceOptions {
   double sampleRate = 44100.0;
   int32_t blockSize = 512; ///< the most frames one processing call hands the plug-in
   /// The process level the instance is told while processing: real time (a live host's audio
   /// thread) or offline (a renderer, the default).
   bool realtime = false;
   /// Receives one line per command sent and request answered, on the thread that made the call;
   /// empty: none. For debugging: tracing allocates, also during processing.
   std::function<void(const std::string& line)> trace = {};
};

/// One parameter as the plug-in shows it.
struct Parameter {
   int32_t index = 0;
   std::string name;    ///< "Left Gain"
   std::string label;   ///< the unit: "dB"
   std::string display; ///< the value as text: "-6.02"
   float value = 0.0f;  ///< the host value, 0 to 1
   bool automatable = false;
};

/// One short MIDI message at a frame from the start of the process() call that carries it.
struct MidiEvent {
   int64_t frame = 0;
   unsigned char data[3] = {0, 0, 0};
};

/// One instance of a plug-in, made by Plugin::instantiate(): open, told its sample rate and
/// block size, and closed when the object goes.
class Instance {
public:
   /// Closes the instance (switching it off first if it runs).
   ~Instance();
   Instance(Instance&&) noexcept;
   Instance& operator=(Instance&&) noexcept;
   Instance(const Instance&) = delete;
   Instance& operator=(const Instance&) = delete;

   // ---- Identity: what the plug-in says it is. Control thread.
   const std::string& path() const;
   std::string name();
   std::string vendor();
   std::string product();
   int32_t vendorVersion();
   int32_t uniqueId() const;
   int32_t category(); ///< the plug-in's answer to effGetPlugCategory
   int32_t flags() const;
   bool isInstrument(); ///< flagged as a synth, or in the synth category
   /// Channel counts as the record holds them now; a plug-in may change them while stopped.
   int32_t inputs() const;
   int32_t outputs() const;

   // ---- Parameters. Control thread, except value() and setValue(), which may run while
   /// another thread processes.
   int32_t parameterCount() const;
   Parameter parameter(int32_t index); ///< throws BadArgument for an index out of range
   std::vector<Parameter> parameters();
   /// The index of a parameter given by its index ("3"), its name without regard to case, or
   /// the unambiguous start of its name. Throws BadArgument naming what is wrong.
   int32_t parameterIndex(const std::string& nameOrIndex);
   float value(int32_t index);
   void setValue(int32_t index, float value);
   /// Sets a parameter from text: a host value from 0 to 1 ("0.5"), or for a parameter labelled
   /// in dB a level ("-6 dB", "-6dB", "-inf"), turned into the host value whose display shows it.
   /// Returns the parameter as it reads afterwards. Throws BadArgument if the text is neither,
   /// the level lies outside what the parameter displays, or it is not shown in dB.
   Parameter set(int32_t index, const std::string& text);
   /// The same from "PARAM=VALUE", PARAM as parameterIndex() takes it.
   Parameter set(const std::string& assignment);

   // ---- Programs. Control thread.
   int32_t programCount() const;
   int32_t program();
   void setProgram(int32_t index); ///< throws BadArgument for an index out of range
   std::string programName();      ///< of the current program
   std::vector<std::string> programNames();

   // ---- State. Control thread, not while processing runs.
   /// Whether the plug-in keeps its state in a chunk of its own (effFlagsProgramChunks).
   bool hasChunk() const;
   /// The whole state: the plug-in's bank chunk where it flags one, else the current program
   /// and every parameter's value, in a form setState() reads back.
   std::vector<unsigned char> state();
   /// Restores what state() returned, from this or another instance of the same plug-in.
   /// Throws BadArgument for bytes that hold no state of this plug-in.
   void setState(std::span<const unsigned char> bytes);

   // ---- Processing.
   double sampleRate() const;
   int32_t blockSize() const;
   /// Change what the instance is told; stop() first if it runs. Control thread.
   void setSampleRate(double rate);
   void setBlockSize(int32_t frames); ///< throws BadArgument below 1
   bool canProcessDouble() const;
   /// Switch processing on and off, as a host does around a run of processing calls; the
   /// transport plays while it is on. process() switches it on if need be. Control thread.
   void start();
   void stop();
   bool running() const;

   /// Processes `frames` frames, any number, in calls of at most blockSize() frames: `inputs`
   /// holds inputs() channel pointers and `outputs` outputs() channel pointers, each to
   /// `frames` samples; outputs may be the inputs. Each event goes to the call that holds its
   /// frame, at its offset there. Events must be sorted by frame and lie in [0, frames): throws
   /// BadArgument otherwise, before anything is processed. The transport moves on by `frames`.
   /// 64-bit samples need canProcessDouble() (BadArgument otherwise). Allocates nothing unless a
   /// call brings more events than any before. Audio thread (or the control thread); the plug-in
   /// is given the inputs as the interface declares them, without const: one that writes into
   /// them is faulty.
   void process(const float* const* inputs, float* const* outputs, size_t frames,
                std::span<const MidiEvent> events = {});
   void process(const double* const* inputs, double* const* outputs, size_t frames,
                std::span<const MidiEvent> events = {});

   /// The tempo the transport plays at from the current position on, in quarter notes per
   /// minute (120 at first). Between process() calls.
   void setTempo(double bpm);
   /// Frames processed since the instance was opened: the transport's position.
   int64_t position() const;

   /// Frames the output lags behind the input (the record's initial delay), as it is now.
   int32_t latency() const;
   /// The frames of sound after the input has ended, as the plug-in answers effGetTailSize: 0
   /// when it does not say, 1 for none. Control thread.
   int32_t tail();

   /// The instance for the raw layer (<trimwise/host/raw/instance.h>); unstable.
   raw::PluginInstance& raw() { return *raw_; }

private:
   friend class Plugin;
   explicit Instance(std::unique_ptr<raw::PluginInstance> raw);
   template <class Sample>
   void processBlocks(const Sample* const* inputs, Sample* const* outputs, size_t frames,
                      std::span<const MidiEvent> events);

   struct Buffers;
   std::unique_ptr<raw::PluginInstance> raw_;
   std::unique_ptr<Buffers> buffers_;
};

} // namespace trimwise::host
