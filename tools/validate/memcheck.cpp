// SPDX-License-Identifier: MIT
#include "tools/validate/memcheck.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace plughost::validate {
namespace {

// The kinds that count; leaks are lifecycle.cycles' concern, and a syscall or overlap is rare
// enough in a plug-in that its finding would be noise.
constexpr const char* kCountedKinds[] = {"InvalidRead", "InvalidWrite", "UninitCondition",
                                         "UninitValue", "InvalidFree",  "MismatchedFree",
                                         "InvalidJump", "ClientCheck"};

struct Skip {
   const char* check;
   const char* reason;
};
constexpr Skip kSkips[] = {
    {"lifecycle.cycles", "valgrind replaces the allocator, so heap growth means nothing here"},
    {"realtime.allocations", "valgrind replaces the allocator, whose calls cannot be counted"},
    {"host-state.fpu", "valgrind does not model the floating-point control state"},
    {"process.denormals", "valgrind ignores flush-to-zero and slows every sample alike"},
};

// The text between <tag> and </tag> from `from` on, or empty; `from` moves past it.
std::string element(const std::string& xml, const std::string& tag, size_t& from, size_t end) {
   const std::string open = "<" + tag + ">", close = "</" + tag + ">";
   const size_t start = xml.find(open, from);
   if (start == std::string::npos || start >= end) return {};
   const size_t stop = xml.find(close, start);
   if (stop == std::string::npos || stop > end) return {};
   from = stop + close.size();
   return xml.substr(start + open.size(), stop - start - open.size());
}

std::string unescape(std::string text) {
   const std::pair<const char*, const char*> entities[] = {
       {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
   for (const auto& [entity, ch] : entities) {
      for (size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1))
         text.replace(at, std::string(entity).size(), ch);
   }
   return text;
}

bool systemLibrary(const std::string& object) {
   const std::string name = object.substr(object.rfind('/') + 1);
   for (const char* prefix :
        {"libc.so", "libc-", "ld-linux", "ld64.so", "libstdc++", "vgpreload_"}) {
      if (name.rfind(prefix, 0) == 0) return true;
   }
   return false;
}

struct Frame {
   std::string object, function;
};

std::vector<Frame> framesOf(const std::string& stack) {
   std::vector<Frame> frames;
   size_t at = 0;
   for (;;) {
      const std::string frame = element(stack, "frame", at, stack.size());
      if (frame.empty()) break;
      size_t f = 0;
      Frame fr;
      fr.object = unescape(element(frame, "obj", f, frame.size()));
      f = 0;
      fr.function = unescape(element(frame, "fn", f, frame.size()));
      frames.push_back(fr);
   }
   return frames;
}

// "Reverb::process (libreverb.so)": the function without its namespace of no name and its
// parameter list, and the library's file name.
std::string shown(const Frame& f) {
   std::string function = f.function.empty() ? "?" : f.function;
   const std::string anonymous = "(anonymous namespace)::";
   for (size_t at = function.find(anonymous); at != std::string::npos;
        at = function.find(anonymous))
      function.erase(at, anonymous.size());
   function = function.substr(0, function.find('('));
   return function + " (" + f.object.substr(f.object.rfind('/') + 1) + ")";
}

// The host's call the error happened under: the first frame of the host's own code above the
// plug-in's, as the call's name where it is one of the record's.
std::string callOf(const std::vector<Frame>& frames, const std::string& host) {
   for (const Frame& f : frames) {
      if (f.object != host) continue;
      for (const char* call : {"process", "dispatch", "setParameter", "getParameter", "readText",
                               "start", "stop", "close", "PluginInstance"}) {
         const size_t at = f.function.find(std::string("PluginInstance::") + call);
         if (at != std::string::npos) {
            const std::string name = f.function.substr(at);
            return "the host's " + name.substr(0, name.find('('));
         }
      }
   }
   return {};
}

} // namespace

std::string memcheckFolder() {
   const char* folder = std::getenv(kMemcheckEnvironment);
   return folder ? folder : "";
}

std::string memcheckSkipReason(const std::string& checkName) {
   if (memcheckFolder().empty()) return {};
   for (const Skip& s : kSkips) {
      if (checkName == s.check) return s.reason;
   }
   return {};
}

std::vector<MemoryError> memoryErrors(const std::string& folder, pid_t pid,
                                      const std::string& hostExecutable) {
   std::ifstream in(folder + "/vg." + std::to_string(pid) + ".xml");
   std::stringstream text;
   text << in.rdbuf();
   const std::string xml = text.str();
   std::vector<MemoryError> errors;
   for (size_t at = xml.find("<error>"); at != std::string::npos;
        at = xml.find("<error>", at + 1)) {
      const size_t end = std::min(xml.find("</error>", at), xml.size());
      size_t cursor = at;
      MemoryError e;
      e.kind = element(xml, "kind", cursor, end);
      bool counted = false;
      for (const char* k : kCountedKinds)
         counted = counted || e.kind == k;
      if (!counted) continue;
      size_t w = at;
      e.what = unescape(element(xml, "what", w, end));
      if (e.what.empty()) {
         w = at;
         const std::string x = element(xml, "xwhat", w, end);
         size_t t = 0;
         e.what = unescape(element(x, "text", t, x.size()));
      }
      size_t s = at;
      const std::vector<Frame> frames = framesOf(element(xml, "stack", s, end));
      size_t a = at;
      e.address = unescape(element(xml, "auxwhat", a, end));
      const std::string call = callOf(frames, hostExecutable);
      size_t first = 0;
      while (first < frames.size() && systemLibrary(frames[first].object))
         ++first;
      e.plugins = e.kind == "ClientCheck" ||
                  (first < frames.size() && frames[first].object != hostExecutable);
      // The plug-in's own frames, up to three, where the host's begin.
      for (size_t i = first; i < frames.size() && e.frames.size() < 3; ++i) {
         if (frames[i].object == hostExecutable) break;
         e.frames.push_back(shown(frames[i]));
      }
      if (!call.empty()) e.frames.push_back("in " + call);
      errors.push_back(std::move(e));
   }
   return errors;
}

std::string describeMemoryErrors(const std::vector<MemoryError>& errors) {
   const MemoryError* first = nullptr;
   size_t count = 0;
   for (const auto& e : errors) {
      if (!e.plugins) continue;
      if (!first) first = &e;
      ++count;
   }
   if (!first) return {};
   std::string text = "memcheck: " + first->what;
   if (first->kind == "ClientCheck") {
      text = "memcheck: output samples computed from uninitialised values";
   }
   for (const auto& f : first->frames)
      text += (f.rfind("in ", 0) == 0 ? " " : " at ") + f;
   if (!first->address.empty()) text += "; " + first->address;
   if (count > 1) text += " (and " + std::to_string(count - 1) + " more errors)";
   return text;
}

} // namespace plughost::validate
