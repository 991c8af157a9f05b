#include "tools/hostlib/midi_file.h"

#include "tools/hostlib/tool_error.h"

#include <smf.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
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

MidiSequence readMidiFile(const std::string& path, double sampleRate) {
   if (!std::ifstream(path)) {
      throw ToolError(ExitCode::file, "cannot read MIDI file '" + path + "'",
                      "check the path; --midi takes a Standard MIDI File (.mid)");
   }
   tFirstWords.clear();
   const guint handler = g_log_set_handler(
       "libsmf",
       static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
       keepMessage, nullptr);
   std::unique_ptr<smf_t, SmfDeleter> smf(smf_load(path.c_str()));
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
