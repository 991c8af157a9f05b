// SPDX-License-Identifier: MIT
#include "tools/hostlib/plugin_module.h"

#include "tools/hostlib/tool_error.h"

#include <cstring>

#include <dlfcn.h>
#include <link.h>

namespace trimwise::host::raw {
using plughost::ExitCode;
using plughost::ToolError;

std::shared_ptr<PluginModule> PluginModule::load(const std::string& path) {
   // dlopen searches the library path for a bare name; a host is given a file, so make the
   // name relative to the working directory unless it already holds a slash.
   const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
   dlerror();
   void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
   if (!handle) {
      const char* why = dlerror();
      throw ToolError(ExitCode::plugin,
                      "cannot load plug-in '" + path + "': " + (why ? why : "unknown reason"),
                      "check the path and that the library was built for this machine");
   }
   std::shared_ptr<PluginModule> module(new PluginModule(path, handle));
   module->vstPluginMain_ = module->lookUp("VSTPluginMain");
   module->main_ = module->lookUp("main");
   if (!module->vstPluginMain_ && !module->main_) {
      throw ToolError(ExitCode::plugin, "'" + path + "' exports no plug-in entry point",
                      "a plug-in exports VSTPluginMain (or main); is this the right library?");
   }
   return module;
}

PluginModule::PluginModule(std::string path, void* handle)
    : path_(std::move(path)), handle_(handle) {}

PluginModule::~PluginModule() {
   dlclose(handle_);
}

PluginEntry PluginModule::lookUp(const char* name) const {
   void* symbol = dlsym(handle_, name);
   if (!symbol) return nullptr;
   // A lookup through a library handle also searches the libraries it depends on. Accept the
   // symbol only if it lies in the plug-in itself, so that `main` can never be another module's.
   Dl_info where{};
   link_map* self = nullptr;
   if (dladdr(symbol, &where) == 0 || dlinfo(handle_, RTLD_DI_LINKMAP, &self) != 0 || !self ||
       !where.dli_fname || !self->l_name || std::strcmp(where.dli_fname, self->l_name) != 0) {
      return nullptr;
   }
   return reinterpret_cast<PluginEntry>(symbol);
}

} // namespace trimwise::host::raw
