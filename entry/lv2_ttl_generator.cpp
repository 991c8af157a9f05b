// SPDX-License-Identifier: MIT
// Writes an LV2 bundle's description from the compiled effect class: it builds one instance
// through createEffectInstance, reads what the record and the class report, and writes
// manifest.ttl, <name>.ttl, the port symbol list and the header that gives the binary its URI.
// Built by trimwise_add_plugin(... FORMATS LV2) from the same sources as the plug-in.
//
//   <generator> --name N --binary F --out-dir D --uri-header H --symbols-out S
//               [--uri U] [--symbol-map M] [--hard-rt]
//
// Exit codes: 0 written, 1 the class cannot be described, 2 the symbols differ from the map
// M, 3 bad arguments or files that cannot be written.
#include "lv2_ports.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace trimwise::lv2;

struct Options {
   std::string name, binary, outDir, uriHeader, symbolsOut, uri, symbolMap;
   bool hardRT = false;
};

[[noreturn]] void fail(int code, const std::string& cause, const std::string& hint) {
   std::cerr << "trimwise-lv2-ttl: error: " << cause << "\n  hint: " << hint << "\n";
   std::exit(code);
}

intptr_t hostCallback(AEffect*, int32_t opcode, int32_t, intptr_t, void*, float) {
   return opcode == audioMasterVersion ? kVstVersion : 0;
}

// Text from the record with room to spare, whatever length the effect writes.
std::string text(AEffect* e, int32_t opcode, int32_t index = 0) {
   char buffer[1024] = {};
   e->dispatcher(e, opcode, index, 0, buffer, 0.0f);
   buffer[sizeof buffer - 1] = '\0';
   return buffer;
}

// Percent-encodes everything but the unreserved characters of a URI.
std::string uriComponent(const std::string& s) {
   std::string out;
   for (unsigned char c : s) {
      if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
         out += char(c);
      } else {
         char hex[4];
         std::snprintf(hex, sizeof hex, "%%%02X", c);
         out += hex;
      }
   }
   return out;
}

// Names from the 2.4 interface are bytes of no stated encoding: valid UTF-8 is kept as such,
// anything else is read as Latin-1. Each code point outside printable ASCII, and the quote and
// backslash, are escaped, so the Turtle string is always well-formed.
std::string turtleString(const std::string& s) {
   std::vector<uint32_t> points;
   bool utf8 = true;
   for (size_t i = 0; i < s.size() && utf8;) {
      const auto c = static_cast<unsigned char>(s[i]);
      const int extra = c < 0x80         ? 0
                        : (c >> 5) == 6  ? 1
                        : (c >> 4) == 14 ? 2
                        : (c >> 3) == 30 ? 3
                                         : -1;
      if (extra < 0 || i + size_t(extra) >= s.size() + (extra == 0 ? 1 : 0)) {
         utf8 = false;
         break;
      }
      uint32_t point = extra == 0 ? c : c & (0x3F >> extra);
      for (int k = 1; k <= extra; ++k) {
         const auto next = static_cast<unsigned char>(s[i + size_t(k)]);
         if ((next >> 6) != 2) utf8 = false;
         point = (point << 6) | (next & 0x3F);
      }
      points.push_back(point);
      i += size_t(extra) + 1;
   }
   if (!utf8) {
      points.clear();
      for (unsigned char c : s)
         points.push_back(c);
   }
   std::string out = "\"";
   for (uint32_t p : points) {
      char buf[16];
      if (p == '"' || p == '\\') {
         out += '\\';
         out += char(p);
      } else if (p >= 0x20 && p < 0x7F) {
         out += char(p);
      } else if (p <= 0xFFFF) {
         std::snprintf(buf, sizeof buf, "\\u%04X", unsigned(p));
         out += buf;
      } else {
         std::snprintf(buf, sizeof buf, "\\U%08X", unsigned(p));
         out += buf;
      }
   }
   return out + "\"";
}

// A decimal Turtle reads as a double, never as an integer.
std::string number(float v) {
   if (!(v >= 0.0f)) v = 0.0f;
   if (v > 1.0f) v = 1.0f;
   char buf[32];
   std::snprintf(buf, sizeof buf, "%.9g", double(v));
   std::string s = buf;
   if (s.find_first_of(".e") == std::string::npos) s += ".0";
   return s;
}

// Lower case letters, digits and underscores, not starting with a digit.
std::string symbolOf(const std::string& name) {
   std::string s;
   for (unsigned char c : name) {
      if (std::isalnum(c) != 0 && c < 0x80) {
         s += char(std::tolower(c));
      } else if (!s.empty() && s.back() != '_') {
         s += '_';
      }
   }
   while (!s.empty() && s.back() == '_')
      s.pop_back();
   if (s.empty()) s = "param";
   if (std::isdigit(static_cast<unsigned char>(s[0])) != 0) s = "p_" + s;
   return s;
}

struct Description {
   std::string uri, name, vendor;
   PortLayout layout;
   bool synth = false, chunks = false;
   int32_t latency = 0;
   std::vector<std::string> paramNames;
   std::vector<float> defaults;
   std::vector<std::string> programNames;
   std::vector<std::vector<float>> programValues;
   std::vector<std::string> symbols; // every port, by index
};

Description describe(const Options& opt) {
   AudioEffect* object = createEffectInstance(hostCallback);
   if (object == nullptr)
      fail(1, "createEffectInstance returned null", "the effect's factory must build an instance");
   AEffect* e = object->getAeffect();
   Description d;
   if (!readLayout(e, d.layout)) {
      fail(1, "the record's channel or parameter counts are out of range",
           "numInputs and numOutputs must be 0.." + std::to_string(kMaxChannels));
   }
   if (d.layout.numOutputs == 0) {
      fail(1, opt.name + " has no audio outputs",
           "an LV2 plug-in of this framework needs setNumOutputs(1) or more");
   }
   e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
   d.name = text(e, effGetEffectName);
   if (d.name.empty()) d.name = text(e, effGetProductString);
   if (d.name.empty()) d.name = opt.name;
   d.vendor = text(e, effGetVendorString);
   d.synth = (e->flags & effFlagsIsSynth) != 0;
   d.chunks = (e->flags & effFlagsProgramChunks) != 0;
   d.latency = e->initialDelay;
   // The documented default scheme: urn:trimwise:<vendor>:<effect name>, both percent-encoded.
   d.uri = !opt.uri.empty()
               ? opt.uri
               : "urn:trimwise:" + uriComponent(d.vendor.empty() ? "unknown" : d.vendor) + ":" +
                     uriComponent(d.name);
   for (uint32_t i = 0; i < d.layout.numParams; ++i) {
      d.paramNames.push_back(text(e, effGetParamName, int32_t(i)));
      d.defaults.push_back(e->getParameter(e, int32_t(i)));
   }
   // Each program as a preset: select it, read its name and every parameter, then go back.
   const intptr_t current = e->dispatcher(e, effGetProgram, 0, 0, nullptr, 0.0f);
   for (int32_t p = 0; p < e->numPrograms && p < 10000; ++p) {
      e->dispatcher(e, effSetProgram, 0, p, nullptr, 0.0f);
      std::string programName = text(e, effGetProgramName);
      if (programName.empty()) programName = "Program " + std::to_string(p + 1);
      d.programNames.push_back(programName);
      std::vector<float> values;
      for (uint32_t i = 0; i < d.layout.numParams; ++i)
         values.push_back(e->getParameter(e, int32_t(i)));
      d.programValues.push_back(values);
   }
   if (e->numPrograms > 0) e->dispatcher(e, effSetProgram, 0, current, nullptr, 0.0f);

   // Port symbols: fixed ones for audio, latency and events; parameters by name, made unique.
   std::set<std::string> taken;
   auto add = [&](const std::string& s) {
      d.symbols.push_back(s);
      taken.insert(s);
   };
   for (uint32_t i = 0; i < d.layout.numInputs; ++i)
      add("in_" + std::to_string(i + 1));
   for (uint32_t i = 0; i < d.layout.numOutputs; ++i)
      add("out_" + std::to_string(i + 1));
   std::set<std::string> reserved = {"latency", "events"};
   for (uint32_t i = 0; i < d.layout.numParams; ++i) {
      const std::string base = symbolOf(d.paramNames[i]);
      std::string s = base;
      for (int n = 2; taken.count(s) != 0 || reserved.count(s) != 0; ++n) {
         if (n > 99) {
            fail(1,
                 "parameter " + std::to_string(i) + " (\"" + d.paramNames[i] + "\") gives symbol " +
                     base + ", which 98 other parameters already have",
                 "give the parameters names that differ in letters or digits");
         }
         s = base + "_" + std::to_string(n);
      }
      add(s);
   }
   add("latency");
   if (d.layout.midiInput) add("events");
   e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
   return d;
}

std::string pluginTtl(const Description& d, const Options& opt) {
   std::ostringstream t;
   t << "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
        "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
        "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
        "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
        "@prefix midi: <http://lv2plug.in/ns/ext/midi#> .\n"
        "@prefix opts: <http://lv2plug.in/ns/ext/options#> .\n"
        "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
        "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
        "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
        "@prefix time: <http://lv2plug.in/ns/ext/time#> .\n"
        "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n\n";
   t << "# Generated from the compiled class by the build; edits are overwritten.\n";
   t << "<" << d.uri << ">\n    a lv2:Plugin, doap:Project"
     << (d.synth ? ", lv2:InstrumentPlugin" : "") << " ;\n";
   t << "    doap:name " << turtleString(d.name) << " ;\n";
   if (!d.vendor.empty())
      t << "    doap:maintainer [ foaf:name " << turtleString(d.vendor) << " ] ;\n";
   t << "    lv2:optionalFeature opts:options" << (opt.hardRT ? ", lv2:hardRTCapable" : "")
     << (d.chunks && !d.layout.midiInput ? ", urid:map" : "") << " ;\n";
   if (d.layout.midiInput) t << "    lv2:requiredFeature urid:map ;\n";
   if (d.chunks) t << "    lv2:extensionData state:interface ;\n";
   uint32_t index = 0;
   auto port = [&](const std::string& kinds, const std::string& name, const std::string& extra) {
      t << (index == 0 ? "    lv2:port [\n" : " , [\n") << "        a " << kinds << " ;\n"
        << "        lv2:index " << index << " ;\n        lv2:symbol \"" << d.symbols[index]
        << "\" ;\n"
        << "        lv2:name " << turtleString(name) << extra << "\n    ]";
      ++index;
   };
   for (uint32_t i = 0; i < d.layout.numInputs; ++i)
      port("lv2:AudioPort, lv2:InputPort", "Input " + std::to_string(i + 1), " ;");
   for (uint32_t i = 0; i < d.layout.numOutputs; ++i)
      port("lv2:AudioPort, lv2:OutputPort", "Output " + std::to_string(i + 1), " ;");
   for (uint32_t i = 0; i < d.layout.numParams; ++i) {
      port("lv2:ControlPort, lv2:InputPort",
           d.paramNames[i].empty() ? d.symbols[index] : d.paramNames[i],
           " ;\n        lv2:default " + number(d.defaults[i]) +
               " ;\n        lv2:minimum 0.0 ;\n        lv2:maximum 1.0 ;");
   }
   port("lv2:ControlPort, lv2:OutputPort", "Latency",
        " ;\n        lv2:designation lv2:latency ;\n        lv2:portProperty lv2:reportsLatency, "
        "lv2:integer ;");
   if (d.layout.midiInput) {
      port("atom:AtomPort, lv2:InputPort", "Events",
           " ;\n        atom:bufferType atom:Sequence ;\n        atom:supports midi:MidiEvent, "
           "time:Position ;\n"
           "        lv2:designation lv2:control ;");
   }
   t << " .\n";
   for (size_t p = 0; p < d.programNames.size(); ++p) {
      t << "\n<" << d.uri << "#preset-" << p + 1 << ">\n    a pset:Preset ;\n    lv2:appliesTo <"
        << d.uri << "> ;\n    rdfs:label " << turtleString(d.programNames[p]);
      for (uint32_t i = 0; i < d.layout.numParams; ++i) {
         t << (i == 0 ? " ;\n    lv2:port [\n" : " , [\n") << "        lv2:symbol \""
           << d.symbols[d.layout.firstControl() + i] << "\" ;\n        pset:value "
           << number(d.programValues[p][i]) << "\n    ]";
      }
      t << " .\n";
   }
   // Make the block terminators of an empty port list consistent.
   std::string s = t.str();
   return s;
}

std::string manifestTtl(const Description& d, const Options& opt) {
   std::ostringstream t;
   t << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
        "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
        "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n";
   t << "<" << d.uri << ">\n    a lv2:Plugin ;\n    lv2:binary <" << opt.binary
     << "> ;\n    rdfs:seeAlso <" << opt.name << ".ttl> .\n";
   for (size_t p = 0; p < d.programNames.size(); ++p) {
      t << "\n<" << d.uri << "#preset-" << p + 1 << ">\n    a pset:Preset ;\n    lv2:appliesTo <"
        << d.uri << "> ;\n    rdfs:seeAlso <" << opt.name << ".ttl> .\n";
   }
   return t.str();
}

std::string symbolList(const Description& d, const Options& opt) {
   std::ostringstream t;
   t << "# LV2 port symbols of " << opt.name << ", one port a line: index symbol.\n"
     << "# Hosts save sessions by these symbols. The build fails when the compiled class gives\n"
     << "# others; to rename on purpose, copy the generated list over this file.\n";
   for (size_t i = 0; i < d.symbols.size(); ++i)
      t << i << " " << d.symbols[i] << "\n";
   return t.str();
}

std::string readFile(const std::string& path, bool& ok) {
   std::ifstream in(path, std::ios::binary);
   ok = bool(in);
   std::ostringstream s;
   s << in.rdbuf();
   return s.str();
}

// Lines that are not comments or blank, so that the map may carry its own comments.
std::vector<std::string> entries(const std::string& text) {
   std::vector<std::string> out;
   std::istringstream in(text);
   for (std::string line; std::getline(in, line);) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
         line.pop_back();
      if (!line.empty() && line[0] != '#') out.push_back(line);
   }
   return out;
}

// Writes only when the content changes, so that the binary is not rebuilt for nothing.
void writeFile(const std::string& path, const std::string& content) {
   bool ok = false;
   if (readFile(path, ok) == content && ok) return;
   std::ofstream out(path, std::ios::binary | std::ios::trunc);
   out << content;
   if (!out) fail(3, "cannot write " + path, "check that the build folder is writable");
}

} // namespace

int main(int argc, char** argv) {
   Options opt;
   for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      auto value = [&]() -> std::string {
         if (i + 1 >= argc)
            fail(3, a + " needs a value", "see the usage at the top of lv2_ttl_generator.cpp");
         return argv[++i];
      };
      if (a == "--name")
         opt.name = value();
      else if (a == "--binary")
         opt.binary = value();
      else if (a == "--out-dir")
         opt.outDir = value();
      else if (a == "--uri-header")
         opt.uriHeader = value();
      else if (a == "--symbols-out")
         opt.symbolsOut = value();
      else if (a == "--uri")
         opt.uri = value();
      else if (a == "--symbol-map")
         opt.symbolMap = value();
      else if (a == "--hard-rt")
         opt.hardRT = true;
      else
         fail(3, "unknown argument " + a, "see the usage at the top of lv2_ttl_generator.cpp");
   }
   if (opt.name.empty() || opt.binary.empty() || opt.outDir.empty()) {
      fail(3, "--name, --binary and --out-dir are required", "trimwise_add_plugin passes them");
   }
   for (unsigned char c : opt.uri) {
      if (c <= 0x20 || c == '<' || c == '>' || c == '"' || c == '{' || c == '}' || c == '|' ||
          c == '\\' || c == '^' || c == '`') {
         fail(3, "LV2_URI \"" + opt.uri + "\" has a character a URI cannot hold",
              "percent-encode it (a space is %20)");
      }
   }
   const Description d = describe(opt);
   const std::string symbols = symbolList(d, opt);
   if (!opt.symbolsOut.empty()) writeFile(opt.symbolsOut, symbols);
   if (!opt.symbolMap.empty()) {
      bool ok = false;
      const std::string committed = readFile(opt.symbolMap, ok);
      if (!ok) {
         fail(2, "no port symbol map " + opt.symbolMap,
              "review the generated " + opt.symbolsOut + " and commit it as " + opt.symbolMap);
      }
      const auto want = entries(committed), got = entries(symbols);
      if (want != got) {
         std::string diff;
         for (size_t i = 0; i < std::max(want.size(), got.size()); ++i) {
            const std::string w = i < want.size() ? want[i] : "(none)",
                              g = i < got.size() ? got[i] : "(none)";
            if (w != g) diff += "\n    map: " + w + "    class: " + g;
         }
         fail(2,
              "the LV2 port symbols of " + opt.name + " differ from " + opt.symbolMap +
                  "; saved sessions address ports by symbol and would lose these settings:" + diff,
              "undo the rename, or to rename on purpose copy " + opt.symbolsOut + " over " +
                  opt.symbolMap);
      }
   }
   writeFile(opt.outDir + "/" + opt.name + ".ttl", pluginTtl(d, opt));
   writeFile(opt.outDir + "/manifest.ttl", manifestTtl(d, opt));
   if (!opt.uriHeader.empty()) {
      writeFile(opt.uriHeader, "// Generated: the plug-in's LV2 URI.\n#define TRIMWISE_LV2_URI \"" +
                                   d.uri + "\"\n");
   }
   return 0;
}
