// SPDX-License-Identifier: MIT
// plughost info: what a plug-in reports about itself, its parameters and its program. Gathered
// into a report first, then printed as text or JSON.

#include "tools/plughost/commands.h"
#include "tools/plughost/text_table.h"

#include <trimwise/host/raw/instance.h>

#include <cstdio>
#include <iostream>
#include <sstream>

namespace plughost {
namespace {

struct InfoReport {
   std::string plugin, entry, name, vendor, product;
   int32_t vendorVersion = 0, uniqueId = 0, version = 0, vstVersion = 0, category = 0;
   int32_t inputs = 0, outputs = 0, latency = 0, tail = 0, flags = 0;
   bool doubles = false;
   // With no programs there is no current one to ask about: what a plug-in answers then is
   // whatever its buffer held.
   int32_t programs = 0;
   int32_t program = 0;
   std::string programName;
   std::vector<ParamInfo> params;
};

InfoReport gather(CommonOptions& options) {
   const host::Plugin plugin = openPlugin(options.plugin, "reading");
   host::Instance p = plugin.instantiate(instanceOptions(options, 44100.0, 512));
   applySettings(p, options.settings);
   InfoReport r;
   r.plugin = options.plugin;
   r.entry = p.raw().module().entryName();
   r.name = p.name();
   r.vendor = p.vendor();
   r.product = p.product();
   r.vendorVersion = p.vendorVersion();
   r.uniqueId = p.uniqueId();
   r.version = p.raw().record().version;
   r.vstVersion = static_cast<int32_t>(p.raw().dispatch(effGetVstVersion));
   r.category = p.category();
   r.inputs = p.inputs();
   r.outputs = p.outputs();
   r.latency = p.latency();
   r.tail = p.tail();
   r.flags = p.flags();
   r.doubles = p.canProcessDouble();
   r.programs = p.programCount();
   if (r.programs > 0) {
      r.program = p.program();
      r.programName = p.programName();
   }
   r.params = p.parameters();
   return r;
}

void printJson(const InfoReport& r) {
   JsonWriter j;
   j.beginObject();
   j.key("plugin").value(r.plugin);
   j.key("entry").value(r.entry);
   j.key("name").value(r.name);
   j.key("vendor").value(r.vendor);
   j.key("product").value(r.product);
   j.key("vendorVersion").value(r.vendorVersion);
   j.key("uniqueId").value(static_cast<int64_t>(static_cast<uint32_t>(r.uniqueId)));
   j.key("uniqueIdText").value(fourCharText(r.uniqueId));
   j.key("version").value(r.version);
   j.key("vstVersion").value(r.vstVersion);
   j.key("category").value(r.category);
   j.key("categoryName").value(categoryName(r.category));
   j.key("inputs").value(r.inputs);
   j.key("outputs").value(r.outputs);
   j.key("initialDelay").value(r.latency);
   j.key("tailSize").value(r.tail);
   j.key("flags").beginObject();
   j.key("value").value(r.flags);
   j.key("names").beginArray();
   for (const auto& f : flagNames(r.flags))
      j.value(f);
   j.endArray().endObject();
   j.key("programs").value(r.programs);
   j.key("program");
   if (r.programs > 0) {
      j.beginObject().key("index").value(r.program).key("name").value(r.programName).endObject();
   } else {
      j.null();
   }
   j.key("parameters");
   writeParams(j, r.params);
   j.endObject();
   std::cout << j.text() << '\n';
}

// "canReplacing, canDoubleReplacing (0x410)"
std::string flagsText(int32_t value) {
   std::string flags;
   for (const auto& f : flagNames(value))
      flags += (flags.empty() ? "" : ", ") + f;
   char hex[16];
   std::snprintf(hex, sizeof hex, "0x%X", static_cast<uint32_t>(value));
   return flags + (flags.empty() ? "" : " ") + "(" + hex + ")";
}

std::string parameterTable(const std::vector<ParamInfo>& params) {
   TextTable table({"#", "name", "value", "display", "label", "automatable"}, "rlrr");
   for (const auto& pi : params) {
      std::ostringstream value;
      value << pi.value;
      table.add({std::to_string(pi.index), pi.name, value.str(), pi.display, pi.label,
                 pi.automatable ? "yes" : "no"});
   }
   return table.text("  ");
}

void printText(const InfoReport& r) {
   TextTable about;
   about.add({"name", r.name});
   about.add({"vendor", r.vendor});
   about.add({"product", r.product});
   about.add({"vendor version", std::to_string(r.vendorVersion)});
   about.add({"unique ID", uniqueIdText(r.uniqueId)});
   about.add({"inputs", std::to_string(r.inputs)});
   about.add({"outputs", std::to_string(r.outputs)});
   about.add({"flags", flagsText(r.flags)});
   const std::string word = categoryName(r.category), number = std::to_string(r.category);
   about.add({"category", word == number ? number : word + " (" + number + ")"});
   about.add({"interface", std::to_string(r.vstVersion)});
   about.add({"program", r.programs > 0 ? std::to_string(r.program) + " \"" + r.programName +
                                              "\" of " + std::to_string(r.programs)
                                        : "none"});
   about.add({"processing", std::string(r.doubles ? "32-bit and 64-bit" : "32-bit") + ", latency " +
                                std::to_string(r.latency) + " frames"});
   about.add({"library", r.plugin + " (entry " + r.entry + ")"});
   std::cout << about.text() << (r.params.empty() ? "" : "\n" + parameterTable(r.params));
}

} // namespace

CLI::App* addInfoCommand(CLI::App& app, CommonOptions& options) {
   auto* info = app.add_subcommand("info", "show the plug-in's identity, parameters and program");
   addCommon(info, options);
   return info;
}

int runInfo(CommonOptions& options) {
   const InfoReport report = gather(options);
   if (options.json) {
      printJson(report);
   } else {
      printText(report);
   }
   return 0;
}

} // namespace plughost
