// SPDX-License-Identifier: MIT
/// @file
/// A plug-in shared library loaded into the host process, and its entry point. Part of the raw
/// layer: see <trimwise/host/raw/instance.h>; it may change between minor versions.
#pragma once

#include "framework/plugin_interface.h"

#include <memory>
#include <string>

namespace trimwise::host::raw {

/// The exported entry point: takes the host callback, returns the new instance's record or null.
using PluginEntry = AEffect* (*)(audioMasterCallback hostCallback);

/// Owns one dlopen handle. Instances keep a shared_ptr to their module so the code they run stays
/// mapped until the last of them is closed.
class PluginModule {
public:
   /// Loads the library and looks up its entry. Throws an Error of kind load if the file cannot
   /// be loaded or exports neither `VSTPluginMain` nor `main`. Any thread; loading runs the
   /// library's static constructors, so not while another thread processes with this library.
   static std::shared_ptr<PluginModule> load(const std::string& path);

   ~PluginModule();
   PluginModule(const PluginModule&) = delete;
   PluginModule& operator=(const PluginModule&) = delete;

   const std::string& path() const { return path_; }

   /// The entry the host calls: `VSTPluginMain` if exported, otherwise the older name `main`.
   PluginEntry entry() const { return vstPluginMain_ ? vstPluginMain_ : main_; }
   const char* entryName() const { return vstPluginMain_ ? "VSTPluginMain" : "main"; }

   /// Each export on its own (null when absent), for checking that both name one function.
   PluginEntry vstPluginMainExport() const { return vstPluginMain_; }
   PluginEntry mainExport() const { return main_; }

private:
   PluginModule(std::string path, void* handle);
   PluginEntry lookUp(const char* name) const;

   std::string path_;
   void* handle_;
   PluginEntry vstPluginMain_ = nullptr;
   PluginEntry main_ = nullptr;
};

} // namespace trimwise::host::raw
