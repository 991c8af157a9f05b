// SPDX-License-Identifier: MIT
// The LV2 adapter: the same AudioEffectX class, driven through its record as a host of the 2.4
// interface would, behind the one export an LV2 host looks up, lv2_descriptor. The plug-in's URI
// comes from the build (TRIMWISE_LV2_URI), and its ports follow lv2_ports.h, as does the ttl
// that the description generator writes for the bundle.
#include "lv2_ports.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include TRIMWISE_LV2_URI_HEADER

namespace {

using namespace trimwise::lv2;

// Without a block length from the host's options, runs longer than this are split.
constexpr int32_t kDefaultMaxBlock = 4096;
constexpr int32_t kLargestBlock = 1 << 20;
// MIDI events handed to the effect per processing call; a run with more is processed in pieces.
constexpr int32_t kMaxEventsPerCall = 256;

// VstEvents with room for a full piece of events (the record declares two and hosts extend it).
struct EventList {
   int32_t numEvents;
   intptr_t reserved;
   VstEvent* events[kMaxEventsPerCall];
};
static_assert(offsetof(EventList, events) == offsetof(VstEvents, events));

// Atoms in a sequence or object start on 8-byte boundaries.
uint32_t padded(uint32_t size) {
   return (size + 7u) & ~7u;
}

struct Urids {
   LV2_URID midiEvent = 0, atomObject = 0, atomBlank = 0, atomFloat = 0, atomDouble = 0,
            atomInt = 0, atomLong = 0, atomChunk = 0, position = 0, bar = 0, barBeat = 0, bpm = 0,
            beatsPerBar = 0, beatUnit = 0, speed = 0, frame = 0, maxBlock = 0, nominalBlock = 0,
            stateChunk = 0;
};

struct Instance {
   AEffect* effect = nullptr;
   PortLayout layout;
   double sampleRate = 44100.0;
   int32_t maxBlock = kDefaultMaxBlock;
   bool active = false;
   LV2_URID_Map* map = nullptr;
   Urids urid;

   // Ports as the host connected them; any may be null until run.
   std::vector<const float*> audioIn;
   std::vector<float*> audioOut;
   std::vector<const float*> controls;
   float* latency = nullptr;
   const LV2_Atom_Sequence* events = nullptr;

   // Last value given to each parameter, so that setParameter runs only on a change.
   std::vector<float> lastControl;
   // Inputs that alias an output are copied here first; sized at activate.
   std::vector<std::vector<float>> scratch;
   std::vector<float*> inPtrs, outPtrs;

   // This run's MIDI, clamped into order and into the run.
   std::vector<VstMidiEvent> midi;
   int32_t numMidi = 0;
   EventList eventList{};

   VstTimeInfo timeInfo{};
   bool hasPosition = false;
   double beatsPerBar = 4.0;
   double beatUnit = 4.0;
   double speed = 0.0;
};

// The host callback the effect sees: the adapter answers as a host of the 2.4 interface.
intptr_t hostCallback(AEffect* effect, int32_t opcode, int32_t, intptr_t, void* ptr, float) {
   Instance* self = effect != nullptr ? static_cast<Instance*>(effect->user) : nullptr;
   switch (opcode) {
   case audioMasterVersion:
      return kVstVersion;
   case audioMasterWantMidi:
      return 1;
   case audioMasterGetSampleRate:
      return self != nullptr ? intptr_t(self->sampleRate) : 0;
   case audioMasterGetBlockSize:
      return self != nullptr ? self->maxBlock : 0;
   case audioMasterGetTime:
      // Only what the host sent as time:Position; otherwise there is no transport.
      return self != nullptr && self->hasPosition ? reinterpret_cast<intptr_t>(&self->timeInfo) : 0;
   case audioMasterGetVendorString:
   case audioMasterGetProductString:
      if (ptr != nullptr) vst_strncpy(static_cast<char*>(ptr), "Trimwise LV2 adapter", 63);
      return 1;
   default:
      // audioMasterAutomate among them: an LV2 control input belongs to the host, so a change
      // the effect makes itself cannot be shown there; the host's next value wins.
      return 0;
   }
}

intptr_t dispatch(Instance* self, int32_t opcode, int32_t index = 0, intptr_t value = 0,
                  void* ptr = nullptr, float opt = 0.0f) {
   return self->effect->dispatcher(self->effect, opcode, index, value, ptr, opt);
}

LV2_URID mapUri(LV2_URID_Map* map, const char* uri) {
   return map != nullptr ? map->map(map->handle, uri) : 0;
}

void mapUrids(Instance* self) {
   LV2_URID_Map* m = self->map;
   Urids& u = self->urid;
   u.midiEvent = mapUri(m, LV2_MIDI__MidiEvent);
   u.atomObject = mapUri(m, LV2_ATOM__Object);
   u.atomBlank = mapUri(m, LV2_ATOM__Blank);
   u.atomFloat = mapUri(m, LV2_ATOM__Float);
   u.atomDouble = mapUri(m, LV2_ATOM__Double);
   u.atomInt = mapUri(m, LV2_ATOM__Int);
   u.atomLong = mapUri(m, LV2_ATOM__Long);
   u.atomChunk = mapUri(m, LV2_ATOM__Chunk);
   u.position = mapUri(m, LV2_TIME__Position);
   u.bar = mapUri(m, LV2_TIME__bar);
   u.barBeat = mapUri(m, LV2_TIME__barBeat);
   u.bpm = mapUri(m, LV2_TIME__beatsPerMinute);
   u.beatsPerBar = mapUri(m, LV2_TIME__beatsPerBar);
   u.beatUnit = mapUri(m, LV2_TIME__beatUnit);
   u.speed = mapUri(m, LV2_TIME__speed);
   u.frame = mapUri(m, LV2_TIME__frame);
   u.maxBlock = mapUri(m, LV2_BUF_SIZE__maxBlockLength);
   u.nominalBlock = mapUri(m, LV2_BUF_SIZE__nominalBlockLength);
   u.stateChunk = mapUri(m, TRIMWISE_LV2_URI "#chunk");
}

// A block length from the options feature: the maximum if given, else the nominal length.
void readBlockLength(Instance* self, const LV2_Options_Option* options) {
   if (options == nullptr || self->map == nullptr) return;
   int32_t maximum = 0, nominal = 0;
   for (const LV2_Options_Option* o = options; o->key != 0; ++o) {
      if (o->type != self->urid.atomInt || o->size != sizeof(int32_t) || o->value == nullptr) {
         continue;
      }
      const int32_t length = *static_cast<const int32_t*>(o->value);
      if (length <= 0) continue;
      if (o->key == self->urid.maxBlock) maximum = length;
      if (o->key == self->urid.nominalBlock) nominal = length;
   }
   // A maximum that happens to equal the default is still the host's maximum.
   if (maximum > 0) {
      self->maxBlock = maximum;
   } else if (nominal > 0) {
      self->maxBlock = nominal;
   }
   // A length beyond any real block would only make activate's buffers fail to allocate.
   self->maxBlock = std::min(self->maxBlock, kLargestBlock);
}

void destroy(Instance* self) {
   if (self->effect != nullptr) dispatch(self, effClose);
   delete self;
}

LV2_Handle instantiate(const LV2_Descriptor*, double rate, const char*,
                       const LV2_Feature* const* features) {
   auto* self = new (std::nothrow) Instance;
   if (self == nullptr) return nullptr;
   try {
      const LV2_Options_Option* options = nullptr;
      for (const LV2_Feature* const* f = features; f != nullptr && *f != nullptr; ++f) {
         if (std::strcmp((*f)->URI, LV2_URID__map) == 0) {
            self->map = static_cast<LV2_URID_Map*>((*f)->data);
         } else if (std::strcmp((*f)->URI, LV2_OPTIONS__options) == 0) {
            options = static_cast<const LV2_Options_Option*>((*f)->data);
         }
      }
      mapUrids(self);
      readBlockLength(self, options);
      self->sampleRate = rate > 0.0 && std::isfinite(rate) ? rate : 44100.0;

      AudioEffect* object = createEffectInstance(hostCallback);
      if (object == nullptr) {
         delete self;
         return nullptr;
      }
      self->effect = object->getAeffect();
      self->effect->user = self;
      // A record the ports cannot describe, no outputs, or MIDI without urid:map (required for
      // effects that take MIDI): no instance.
      if (!readLayout(self->effect, self->layout) || self->layout.numOutputs == 0 ||
          (self->layout.midiInput && self->map == nullptr)) {
         destroy(self);
         return nullptr;
      }
      const PortLayout& l = self->layout;
      self->audioIn.assign(l.numInputs, nullptr);
      self->audioOut.assign(l.numOutputs, nullptr);
      self->controls.assign(l.numParams, nullptr);
      self->inPtrs.assign(l.numInputs, nullptr);
      self->outPtrs.assign(l.numOutputs, nullptr);
      self->midi.resize(l.midiInput ? size_t(kMaxEventsPerCall) * 4 : 0);

      dispatch(self, effOpen);
      dispatch(self, effSetSampleRate, 0, 0, nullptr, float(self->sampleRate));
      dispatch(self, effSetBlockSize, 0, self->maxBlock);
      self->lastControl.resize(l.numParams);
      for (uint32_t i = 0; i < l.numParams; ++i) {
         self->lastControl[i] = self->effect->getParameter(self->effect, int32_t(i));
      }
      self->timeInfo.sampleRate = self->sampleRate;
      return self;
   } catch (const std::bad_alloc&) {
      destroy(self);
      return nullptr;
   }
}

// An unknown index is ignored; null disconnects.
void connectPort(LV2_Handle handle, uint32_t port, void* data) {
   auto* self = static_cast<Instance*>(handle);
   const PortLayout& l = self->layout;
   if (port < l.firstOutput()) {
      self->audioIn[port] = static_cast<const float*>(data);
   } else if (port < l.firstControl()) {
      self->audioOut[port - l.firstOutput()] = static_cast<float*>(data);
   } else if (port < l.latency()) {
      self->controls[port - l.firstControl()] = static_cast<const float*>(data);
   } else if (port == l.latency()) {
      self->latency = static_cast<float*>(data);
   } else if (l.midiInput && port == l.events()) {
      self->events = static_cast<const LV2_Atom_Sequence*>(data);
   }
}

// The transport is what the host last sent; a new activation starts without one, so that an
// old position does not keep playing until the host sends the next.
void resetTransport(Instance* self) {
   self->timeInfo = VstTimeInfo{};
   self->timeInfo.sampleRate = self->sampleRate;
   self->hasPosition = false;
   self->beatsPerBar = 4.0;
   self->beatUnit = 4.0;
   self->speed = 0.0;
}

void activate(LV2_Handle handle) {
   auto* self = static_cast<Instance*>(handle);
   resetTransport(self);
   try {
      self->scratch.assign(self->layout.numInputs, std::vector<float>(size_t(self->maxBlock)));
   } catch (const std::bad_alloc&) {
      self->scratch.clear();
      return; // not active: run processes nothing
   }
   dispatch(self, effMainsChanged, 0, 1);
   dispatch(self, effStartProcess);
   self->active = true;
}

void deactivate(LV2_Handle handle) {
   auto* self = static_cast<Instance*>(handle);
   if (!self->active) return;
   dispatch(self, effStopProcess);
   dispatch(self, effMainsChanged, 0, 0);
   self->active = false;
}

void cleanup(LV2_Handle handle) {
   auto* self = static_cast<Instance*>(handle);
   deactivate(handle);
   destroy(self);
}

// A value the host changed since the last run reaches the effect, clamped to 0..1.
void applyControls(Instance* self) {
   for (uint32_t i = 0; i < self->layout.numParams; ++i) {
      if (self->controls[i] == nullptr) continue;
      float value = *self->controls[i];
      if (std::isnan(value)) continue;
      value = std::clamp(value, 0.0f, 1.0f);
      if (value == self->lastControl[i]) continue;
      self->lastControl[i] = value;
      self->effect->setParameter(self->effect, int32_t(i), value);
   }
}

template <typename T>
bool readNumber(const Urids& u, const LV2_Atom* atom, uint32_t room, T& out) {
   if (room < sizeof(LV2_Atom) || atom->size > room - sizeof(LV2_Atom)) return false;
   const void* body = atom + 1;
   if (atom->type == u.atomFloat && atom->size >= sizeof(float)) {
      out = T(*static_cast<const float*>(body));
   } else if (atom->type == u.atomDouble && atom->size >= sizeof(double)) {
      out = T(*static_cast<const double*>(body));
   } else if (atom->type == u.atomInt && atom->size >= sizeof(int32_t)) {
      out = T(*static_cast<const int32_t*>(body));
   } else if (atom->type == u.atomLong && atom->size >= sizeof(int64_t)) {
      out = T(*static_cast<const int64_t*>(body));
   } else {
      return false;
   }
   return std::isfinite(double(out));
}

// A time:Position object becomes the time information the effect asks for. Every property is
// read within the object's own size.
void readPosition(Instance* self, const LV2_Atom_Object_Body* object, uint32_t size) {
   const Urids& u = self->urid;
   if (size < sizeof(LV2_Atom_Object_Body) || object->otype != u.position) return;
   double bar = -1.0, barBeat = -1.0, bpm = -1.0, frame = -1.0;
   uint32_t offset = sizeof(LV2_Atom_Object_Body);
   while (offset + sizeof(LV2_Atom_Property_Body) <= size) {
      const auto* prop = reinterpret_cast<const LV2_Atom_Property_Body*>(
          reinterpret_cast<const char*>(object) + offset);
      const uint32_t room = size - offset - uint32_t(offsetof(LV2_Atom_Property_Body, value));
      if (prop->value.size > room - sizeof(LV2_Atom)) break;
      const LV2_Atom* value = &prop->value;
      if (prop->key == u.bar) readNumber(u, value, room, bar);
      if (prop->key == u.barBeat) readNumber(u, value, room, barBeat);
      if (prop->key == u.bpm) readNumber(u, value, room, bpm);
      if (prop->key == u.beatsPerBar) readNumber(u, value, room, self->beatsPerBar);
      if (prop->key == u.beatUnit) readNumber(u, value, room, self->beatUnit);
      if (prop->key == u.speed) readNumber(u, value, room, self->speed);
      if (prop->key == u.frame) readNumber(u, value, room, frame);
      offset += uint32_t(padded(uint32_t(sizeof(LV2_Atom_Property_Body)) + prop->value.size));
   }
   // The record holds the signature as two 32-bit integers: a value that is not positive or that
   // they cannot hold is no signature, and 4/4 stands in for it.
   for (double* part : {&self->beatsPerBar, &self->beatUnit}) {
      if (!(*part > 0.0 && *part <= double(INT32_MAX))) *part = 4.0;
   }
   VstTimeInfo& t = self->timeInfo;
   t.flags = kVstTimeSigValid;
   t.timeSigNumerator = int32_t(self->beatsPerBar);
   t.timeSigDenominator = int32_t(self->beatUnit);
   if (frame >= 0.0) t.samplePos = frame;
   if (bpm > 0.0) {
      t.tempo = bpm;
      t.flags |= kVstTempoValid;
   }
   if (bar >= 0.0 && barBeat >= 0.0) {
      const double quartersPerBeat = 4.0 / self->beatUnit;
      t.barStartPos = bar * self->beatsPerBar * quartersPerBeat;
      t.ppqPos = t.barStartPos + barBeat * quartersPerBeat;
      t.flags |= kVstPpqPosValid | kVstBarsValid;
   }
   if (self->speed != 0.0) t.flags |= kVstTransportPlaying;
   t.flags |= kVstTransportChanged;
   self->hasPosition = true;
}

// This run's events, read within the sequence's size. Times out of order or outside the run are
// clamped into it; MIDI messages longer than three bytes are not passed on.
void readEvents(Instance* self, uint32_t frames) {
   self->numMidi = 0;
   const LV2_Atom_Sequence* seq = self->events;
   if (seq == nullptr || seq->atom.size < sizeof(LV2_Atom_Sequence_Body)) return;
   const uint32_t size = seq->atom.size;
   const char* body = reinterpret_cast<const char*>(&seq->body);
   int64_t previous = 0;
   uint32_t offset = sizeof(LV2_Atom_Sequence_Body);
   while (offset + sizeof(LV2_Atom_Event) <= size) {
      const auto* ev = reinterpret_cast<const LV2_Atom_Event*>(body + offset);
      const uint32_t room = size - offset - uint32_t(sizeof(LV2_Atom_Event));
      if (ev->body.size > room) break;
      int64_t frame =
          std::clamp<int64_t>(ev->time.frames, previous, frames > 0 ? int64_t(frames) - 1 : 0);
      previous = frame;
      const auto* data = reinterpret_cast<const uint8_t*>(ev + 1);
      if (ev->body.type == self->urid.midiEvent && ev->body.size >= 1 && ev->body.size <= 3 &&
          size_t(self->numMidi) < self->midi.size()) {
         VstMidiEvent& m = self->midi[size_t(self->numMidi++)];
         m = VstMidiEvent{};
         m.type = kVstMidiType;
         m.byteSize = sizeof(VstMidiEvent);
         m.deltaFrames = int32_t(frame);
         std::memcpy(m.midiData, data, ev->body.size);
      } else if (ev->body.type == self->urid.atomObject || ev->body.type == self->urid.atomBlank) {
         readPosition(self, reinterpret_cast<const LV2_Atom_Object_Body*>(data), ev->body.size);
      }
      offset += uint32_t(padded(uint32_t(sizeof(LV2_Atom_Event)) + ev->body.size));
   }
}

// The frame of an event of this run, counted from the start of the run.
uint32_t frameOf(const Instance* self, int32_t event) {
   return uint32_t(self->midi[size_t(event)].deltaFrames);
}

bool overlaps(const float* a, const float* b, uint32_t frames) {
   const auto x = reinterpret_cast<uintptr_t>(a);
   const auto y = reinterpret_cast<uintptr_t>(b);
   const uintptr_t bytes = uintptr_t(frames) * sizeof(float);
   return x < y + bytes && y < x + bytes;
}

void advanceTime(Instance* self, int32_t frames) {
   VstTimeInfo& t = self->timeInfo;
   t.flags &= ~kVstTransportChanged;
   if ((t.flags & kVstTransportPlaying) == 0) return;
   t.samplePos += frames * self->speed;
   if ((t.flags & kVstTempoValid) != 0 && (t.flags & kVstPpqPosValid) != 0) {
      t.ppqPos += frames * self->speed / self->sampleRate * t.tempo / 60.0;
   }
}

// run() must be real-time safe: it allocates nothing and locks nothing. The latency output is
// written first, so that run(0) reports it too.
void run(LV2_Handle handle, uint32_t sampleCount) {
   auto* self = static_cast<Instance*>(handle);
   AEffect* e = self->effect;
   if (self->latency != nullptr) *self->latency = float(e->initialDelay);
   if (!self->active) return;
   for (const float* p : self->audioIn) {
      if (p == nullptr) return;
   }
   for (float* p : self->audioOut) {
      if (p == nullptr) return;
   }
   applyControls(self);
   if (self->layout.midiInput) readEvents(self, sampleCount);

   int32_t nextEvent = 0;
   uint32_t done = 0;
   while (done < sampleCount) {
      uint32_t piece = std::min<uint32_t>(sampleCount - done, uint32_t(self->maxBlock));
      // Events of this piece, up to one full list. A piece with more ends before the frame of
      // the first event left over; if that is the piece's first frame, the piece is that one
      // frame and the rest of its events follow at the start of the next piece.
      const int32_t first = nextEvent;
      while (nextEvent < self->numMidi && frameOf(self, nextEvent) < done + piece) {
         if (nextEvent - first == kMaxEventsPerCall) {
            const uint32_t cut = frameOf(self, nextEvent);
            piece = cut > done ? cut - done : 1;
            while (nextEvent > first && frameOf(self, nextEvent - 1) >= done + piece)
               --nextEvent;
            break;
         }
         ++nextEvent;
      }
      if (self->layout.midiInput) {
         self->eventList.numEvents = 0;
         for (int32_t i = first; i < nextEvent; ++i) {
            VstMidiEvent& m = self->midi[size_t(i)];
            m.deltaFrames = std::max(m.deltaFrames - int32_t(done), 0);
            self->eventList.events[self->eventList.numEvents++] = reinterpret_cast<VstEvent*>(&m);
         }
         dispatch(self, effProcessEvents, 0, 0, &self->eventList);
      }
      // The effect may write an output before it has read every input: an input that shares
      // memory with an output is read from a copy.
      for (uint32_t c = 0; c < self->layout.numInputs; ++c) {
         const float* in = self->audioIn[c] + done;
         bool aliased = false;
         for (float* out : self->audioOut)
            aliased = aliased || overlaps(in, out + done, piece);
         if (aliased) {
            std::memcpy(self->scratch[c].data(), in, piece * sizeof(float));
            in = self->scratch[c].data();
         }
         self->inPtrs[c] = const_cast<float*>(in);
      }
      for (uint32_t c = 0; c < self->layout.numOutputs; ++c)
         self->outPtrs[c] = self->audioOut[c] + done;
      e->processReplacing(e, self->inPtrs.data(), self->outPtrs.data(), int32_t(piece));
      advanceTime(self, int32_t(piece));
      done += piece;
   }
}

// State: the effect's chunk, for effects that keep one, behind a header that names the plug-in.
LV2_State_Status saveState(LV2_Handle handle, LV2_State_Store_Function store,
                           LV2_State_Handle storeHandle, uint32_t, const LV2_Feature* const*) {
   auto* self = static_cast<Instance*>(handle);
   if ((self->effect->flags & effFlagsProgramChunks) == 0) return LV2_STATE_SUCCESS;
   if (self->map == nullptr) return LV2_STATE_ERR_NO_FEATURE;
   void* data = nullptr;
   const intptr_t size = dispatch(self, effGetChunk, 0, 0, &data);
   if (size < 0 || size > INT32_MAX - intptr_t(sizeof(StateHeader)) ||
       (size > 0 && data == nullptr)) {
      return LV2_STATE_ERR_UNKNOWN;
   }
   try {
      std::vector<char> blob(sizeof(StateHeader) + size_t(size));
      StateHeader header{};
      std::memcpy(header.magic, kStateMagic, 4);
      header.uniqueID = uint32_t(self->effect->uniqueID);
      header.chunkSize = uint32_t(size);
      std::memcpy(blob.data(), &header, sizeof header);
      if (size > 0) std::memcpy(blob.data() + sizeof header, data, size_t(size));
      return store(storeHandle, self->urid.stateChunk, blob.data(), blob.size(),
                   self->urid.atomChunk, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
   } catch (const std::bad_alloc&) {
      return LV2_STATE_ERR_NO_SPACE;
   }
}

// A blob that is truncated, of another type or saved by another plug-in is refused.
LV2_State_Status restoreState(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                              LV2_State_Handle retrieveHandle, uint32_t,
                              const LV2_Feature* const*) {
   auto* self = static_cast<Instance*>(handle);
   if ((self->effect->flags & effFlagsProgramChunks) == 0) return LV2_STATE_SUCCESS;
   if (self->map == nullptr) return LV2_STATE_ERR_NO_FEATURE;
   size_t size = 0;
   uint32_t type = 0, flags = 0;
   const void* value = retrieve(retrieveHandle, self->urid.stateChunk, &size, &type, &flags);
   if (value == nullptr) return LV2_STATE_ERR_NO_PROPERTY;
   if (type != self->urid.atomChunk) return LV2_STATE_ERR_BAD_TYPE;
   StateHeader header{};
   if (size < sizeof header) return LV2_STATE_ERR_UNKNOWN;
   std::memcpy(&header, value, sizeof header);
   if (std::memcmp(header.magic, kStateMagic, 4) != 0 ||
       header.uniqueID != uint32_t(self->effect->uniqueID) ||
       header.chunkSize != size - sizeof header || header.chunkSize > uint32_t(INT32_MAX)) {
      return LV2_STATE_ERR_UNKNOWN;
   }
   // setChunk takes a mutable pointer; the host's value is const, so it gets a copy.
   try {
      std::vector<char> chunk(static_cast<const char*>(value) + sizeof header,
                              static_cast<const char*>(value) + size);
      dispatch(self, effSetChunk, 0, intptr_t(chunk.size()),
               chunk.empty() ? nullptr : chunk.data());
   } catch (const std::bad_alloc&) {
      return LV2_STATE_ERR_NO_SPACE;
   }
   return LV2_STATE_SUCCESS;
}

const LV2_State_Interface kStateInterface = {saveState, restoreState};

const void* extensionData(const char* uri) {
   if (uri != nullptr && std::strcmp(uri, LV2_STATE__interface) == 0) return &kStateInterface;
   return nullptr;
}

const LV2_Descriptor kDescriptor = {TRIMWISE_LV2_URI, instantiate, connectPort,  activate, run,
                                    deactivate,       cleanup,     extensionData};

} // namespace

extern "C" __attribute__((visibility("default"))) const LV2_Descriptor*
lv2_descriptor(uint32_t index) {
   return index == 0 ? &kDescriptor : nullptr;
}
