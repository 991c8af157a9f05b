// SPDX-License-Identifier: MIT
// plughost info: what a plug-in reports about itself, its parameters and its program.

#include "tools/plughost/commands.h"
#include "tools/plughost/text_table.h"

#include <cstdio>
#include <iostream>
#include <sstream>

namespace plughost {

CLI::App* addInfoCommand(CLI::App& app, CommonOptions& options) {
   auto* info = app.add_subcommand("info", "show the plug-in's identity, parameters and program");
   addCommon(info, options);
   return info;
}

int runInfo(CommonOptions& options) {
   auto module = loadPlugin(options.plugin, "reading");
   PluginInstance p(module, hostSettings(options, 44100.0f, 512));
   applySettings(p, options.settings);
   const AEffect& e = p.record();

   const std::string name = p.effectName();
   const std::string vendor = p.vendorString();
   const std::string product = p.productString();
   const auto vendorVersion = static_cast<int32_t>(p.dispatch(effGetVendorVersion));
   const auto vstVersion = static_cast<int32_t>(p.dispatch(effGetVstVersion));
   const auto category = static_cast<int32_t>(p.dispatch(effGetPlugCategory));
   const auto tailSize = static_cast<int32_t>(p.dispatch(effGetTailSize));
   // With no programs there is no current one to ask about: what a plug-in answers then is
   // whatever its buffer held.
   const bool hasPrograms = e.numPrograms > 0;
   const auto program = hasPrograms ? static_cast<int32_t>(p.dispatch(effGetProgram)) : 0;
   const std::string programName = hasPrograms ? p.programName() : "";
   const std::vector<ParamInfo> params = readParams(p);

   if (options.json) {
      JsonWriter j;
      j.beginObject();
      j.key("plugin").value(options.plugin);
      j.key("entry").value(module->entryName());
      j.key("name").value(name);
      j.key("vendor").value(vendor);
      j.key("product").value(product);
      j.key("vendorVersion").value(vendorVersion);
      j.key("uniqueId").value(static_cast<int64_t>(static_cast<uint32_t>(e.uniqueID)));
      j.key("uniqueIdText").value(fourCharText(e.uniqueID));
      j.key("version").value(e.version);
      j.key("vstVersion").value(vstVersion);
      j.key("category").value(category);
      j.key("categoryName").value(categoryName(category));
      j.key("inputs").value(e.numInputs);
      j.key("outputs").value(e.numOutputs);
      j.key("initialDelay").value(e.initialDelay);
      j.key("tailSize").value(tailSize);
      j.key("flags").beginObject();
      j.key("value").value(e.flags);
      j.key("names").beginArray();
      for (const auto& f : flagNames(e.flags))
         j.value(f);
      j.endArray().endObject();
      j.key("programs").value(e.numPrograms);
      j.key("program");
      if (hasPrograms) {
         j.beginObject().key("index").value(program).key("name").value(programName).endObject();
      } else {
         j.null();
      }
      j.key("parameters");
      writeParams(j, params);
      j.endObject();
      std::cout << j.text() << '\n';
      return 0;
   }

   std::string flags;
   for (const auto& f : flagNames(e.flags))
      flags += (flags.empty() ? "" : ", ") + f;
   char hex[16];
   std::snprintf(hex, sizeof hex, "0x%X", static_cast<uint32_t>(e.flags));
   flags += (flags.empty() ? "" : " ") + std::string("(") + hex + ")";

   TextTable about;
   about.add({"name", name});
   about.add({"vendor", vendor});
   about.add({"product", product});
   about.add({"vendor version", std::to_string(vendorVersion)});
   about.add({"unique ID", uniqueIdText(e.uniqueID)});
   about.add({"inputs", std::to_string(e.numInputs)});
   about.add({"outputs", std::to_string(e.numOutputs)});
   about.add({"flags", flags});
   const std::string categoryWord = categoryName(category),
                     categoryNumber = std::to_string(category);
   about.add({"category", categoryWord == categoryNumber
                              ? categoryNumber
                              : categoryWord + " (" + categoryNumber + ")"});
   about.add({"interface", std::to_string(vstVersion)});
   about.add({"program", hasPrograms ? std::to_string(program) + " \"" + programName + "\" of " +
                                           std::to_string(e.numPrograms)
                                     : "none"});
   about.add({"processing", std::string(p.canProcessDouble() ? "32-bit and 64-bit" : "32-bit") +
                                ", latency " + std::to_string(e.initialDelay) + " frames"});
   about.add({"library", options.plugin + " (entry " + module->entryName() + ")"});
   std::string text = about.text();
   if (!params.empty()) {
      TextTable table({"#", "name", "value", "display", "label", "automatable"}, "rlrr");
      for (const auto& pi : params) {
         std::ostringstream value;
         value << pi.value;
         table.add({std::to_string(pi.index), pi.name, value.str(), pi.display, pi.label,
                    pi.automatable ? "yes" : "no"});
      }
      text += "\n" + table.text("  ");
   }
   std::cout << text;
   return 0;
}

} // namespace plughost
