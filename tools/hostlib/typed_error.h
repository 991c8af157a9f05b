// SPDX-License-Identifier: MIT
// The facade throws only the typed errors of <trimwise/host/errors.h>; the older ToolError of
// the parts below it is turned into the one of its kind on the way out.
#pragma once

#include <trimwise/host/errors.h>

#include <utility>

namespace trimwise::host {

[[noreturn]] inline void throwTyped(const Error& e) {
   switch (e.kind()) {
   case ErrorKind::load:
      throw LoadError(e.what(), e.hint());
   case ErrorKind::badArgument:
      throw BadArgument(e.what(), e.hint());
   case ErrorKind::file:
      throw FileError(e.what(), e.hint());
   case ErrorKind::crash:
      throw PluginCrashed(e.what(), e.hint());
   case ErrorKind::failed:
      break;
   }
   throw Error(e.kind(), e.what(), e.hint());
}

// Runs `f`, rethrowing any Error that is not yet of its typed class as that class.
template <class F>
decltype(auto) typedErrors(F&& f) {
   try {
      return std::forward<F>(f)();
   } catch (const LoadError&) {
      throw;
   } catch (const BadArgument&) {
      throw;
   } catch (const FileError&) {
      throw;
   } catch (const PluginCrashed&) {
      throw;
   } catch (const Error& e) {
      if (e.kind() == ErrorKind::failed) throw;
      throwTyped(e);
   }
}

} // namespace trimwise::host
