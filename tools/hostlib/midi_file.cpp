// SPDX-License-Identifier: MIT
#include "tools/hostlib/midi_file.h"

#include "tools/hostlib/tool_error.h"

#include <smf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace plughost {
namespace {

// libsmf reports what is wrong with a file through GLib's log, and may still return what it
// could read of a damaged one. Its first complaint becomes the message, and any complaint at
// all rejects the file: notes cut short would render as a shorter piece without a word.
std::string tFirstWords;

void keepMessage(const gchar*, GLogLevelFlags level, const gchar* message, gpointer) {
   if (!message || !(level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL))) return;
   if (!tFirstWords.empty()) return;
   tFirstWords = message;
   for (const char* prefix : {"SMF error: ", "SMF warning: "}) {
      if (tFirstWords.rfind(prefix, 0) == 0) tFirstWords.erase(0, std::strlen(prefix));
   }
}

struct SmfDeleter {
   void operator()(smf_t* smf) const { smf_delete(smf); }
};

int64_t frameAt(double seconds, double sampleRate) {
   return static_cast<int64_t>(std::llround(seconds * sampleRate));
}

} // namespace

double MidiSequence::beatAt(int64_t frame, double sampleRate) const {
   const TempoAt* tempo = nullptr;
   for (const TempoAt& t : tempos) {
      if (t.frame > frame) break;
      tempo = &t;
   }
   if (!tempo) return static_cast<double>(frame) / sampleRate * 2.0; // 120 bpm
   return tempo->beat + static_cast<double>(frame - tempo->frame) / sampleRate * tempo->bpm / 60.0;
}

namespace {

uint32_t bigEndian(const unsigned char* bytes, int count) {
   uint32_t value = 0;
   for (int i = 0; i < count; ++i)
      value = value << 8 | bytes[i];
   return value;
}

// Checks the file's chunk structure before libsmf parses it: libsmf reads past the end of a
// file whose last chunk is cut short, and loses memory on some refusals. Returns what is wrong,
// or an empty text.
std::string checkChunks(const std::vector<unsigned char>& file) {
   if (file.size() < 14 || std::memcmp(file.data(), "MThd", 4) != 0) {
      return "it does not start with a MIDI header (MThd)";
   }
   const uint32_t headerLength = bigEndian(&file[4], 4);
   const uint32_t format = bigEndian(&file[8], 2);
   const uint32_t tracks = bigEndian(&file[10], 2);
   if (headerLength < 6 || format > 2) return "its MIDI header is damaged";
   uint32_t found = 0;
   for (size_t at = 8 + size_t{headerLength}; at < file.size();) {
      if (file.size() - at < 8) return "it ends inside a chunk header";
      const uint32_t length = bigEndian(&file[at + 4], 4);
      if (file.size() - at - 8 < length) return "it is cut short inside a chunk";
      if (std::memcmp(&file[at], "MTrk", 4) == 0) ++found;
      at += 8 + size_t{length};
   }
   if (found != tracks) {
      return "its header announces " + std::to_string(tracks) + " tracks but it holds " +
             std::to_string(found);
   }
   return "";
}

} // namespace

MidiSequence readMidiFile(const std::string& path, double sampleRate) {
   // Standard MIDI Files are small; anything this large is some other file.
   constexpr uintmax_t kLargest = 64u << 20;
   std::error_code error;
   if (std::filesystem::file_size(path, error) > kLargest && !error) {
      throw ToolError(ExitCode::file, "'" + path + "' is too large to be a MIDI file",
                      "--midi takes a Standard MIDI File (.mid) of format 0 or 1");
   }
   std::ifstream in(path, std::ios::binary);
   std::vector<unsigned char> file;
   if (in) {
      file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
   }
   if (!in && !in.eof()) {
      throw ToolError(ExitCode::file, "cannot read MIDI file '" + path + "'",
                      "check the path; notes are read from a Standard MIDI File (.mid)");
   }
   const std::string damage = checkChunks(file);
   if (!damage.empty()) {
      throw ToolError(ExitCode::file, "'" + path + "' is not a readable MIDI file: " + damage,
                      "--midi takes a Standard MIDI File (.mid) of format 0 or 1");
   }
   const auto size = static_cast<int>(file.size());
   // Zeros after the end, in case the parser looks one event further than the data goes.
   file.resize(file.size() + 16, 0);
   tFirstWords.clear();
   const guint handler = g_log_set_handler(
       "libsmf",
       static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
       keepMessage, nullptr);
   std::unique_ptr<smf_t, SmfDeleter> smf(smf_load_from_memory(file.data(), size));
   MidiSequence sequence;
   if (smf) {
      smf_rewind(smf.get());
      while (smf_event_t* event = smf_get_next_event(smf.get())) {
         if (smf_event_is_metadata(event)) continue;
         const int size = event->midi_buffer_length;
         if (smf_event_is_sysex(event) || size < 1 || size > 3) {
            ++sequence.skipped;
            continue;
         }
         MidiEventAt at{frameAt(event->time_seconds, sampleRate), {0, 0, 0}, size};
         std::copy_n(event->midi_buffer, size, at.bytes);
         sequence.events.push_back(at);
      }
      for (int i = 0;; ++i) {
         const smf_tempo_t* tempo = smf_get_tempo_by_number(smf.get(), i);
         if (!tempo) break;
         const int64_t frame = frameAt(tempo->time_seconds, sampleRate);
         const double beat = smf->ppqn > 0 ? static_cast<double>(tempo->time_pulses) / smf->ppqn
                                           : sequence.beatAt(frame, sampleRate);
         sequence.tempos.push_back({frame, beat, 60e6 / tempo->microseconds_per_quarter_note,
                                    tempo->numerator, tempo->denominator});
      }
      sequence.endFrame = frameAt(smf_get_length_seconds(smf.get()), sampleRate);
   }
   g_log_remove_handler("libsmf", handler);
   if (!smf || !tFirstWords.empty()) {
      throw ToolError(ExitCode::file,
                      "'" + path + "' is not a readable MIDI file" +
                          (tFirstWords.empty() ? "" : ": " + tFirstWords),
                      "--midi takes a Standard MIDI File (.mid) of format 0 or 1");
   }
   if (sequence.tempos.empty()) sequence.tempos.push_back({0, 0.0, 120.0, 4, 4});
   for (const auto& e : sequence.events)
      sequence.endFrame = std::max(sequence.endFrame, e.frame);
   return sequence;
}

} // namespace plughost
