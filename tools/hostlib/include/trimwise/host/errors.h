// SPDX-License-Identifier: MIT
/// @file
/// The errors the host library throws. Each carries a cause (what()) and a hint, both in the
/// library's own terms: they name plug-ins, files, parameters and calls, never a program's
/// command line. A front end adds its own words (an option to use, an exit code) by the kind.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

/// The host library: finds, probes, loads and drives plug-ins of the 2.4 interface.
namespace trimwise::host {

/// What kind of failure an Error reports; each has its class below.
enum class ErrorKind {
   load,        ///< the plug-in cannot be loaded: no library, no entry point, no usable record
   badArgument, ///< a value given to the library does not fit the plug-in or the call
   file,        ///< a file cannot be read or written
   crash,       ///< the plug-in crashed, hung or ended its process while it was being called
   failed,      ///< anything else that kept an operation from finishing: no process, no pipe
};

/// The base of every error the library throws. Catch this to handle them all alike.
class Error : public std::runtime_error {
public:
   Error(ErrorKind kind, const std::string& cause, std::string hint)
       : std::runtime_error(cause), kind_(kind), hint_(std::move(hint)) {}

   ErrorKind kind() const { return kind_; }
   const char* cause() const { return what(); }
   /// What the user can do about it; may be empty.
   const std::string& hint() const { return hint_; }

private:
   ErrorKind kind_;
   std::string hint_;
};

/// The plug-in cannot be loaded: no library, no entry point, no usable record.
class LoadError : public Error {
public:
   LoadError(const std::string& cause, std::string hint)
       : Error(ErrorKind::load, cause, std::move(hint)) {}
};

/// A value given to the library (a parameter text, a state, events, a block size) does not fit.
class BadArgument : public Error {
public:
   BadArgument(const std::string& cause, std::string hint)
       : Error(ErrorKind::badArgument, cause, std::move(hint)) {}
};

/// A file cannot be read or written.
class FileError : public Error {
public:
   FileError(const std::string& cause, std::string hint)
       : Error(ErrorKind::file, cause, std::move(hint)) {}
};

/// A plug-in that crashed in a process of its own (a probe or an isolated instance). The call it
/// was making and the signal that ended it are named when known.
class PluginCrashed : public Error {
public:
   PluginCrashed(const std::string& cause, std::string hint, std::string callInFlight = {},
                 int signal = 0)
       : Error(ErrorKind::crash, cause, std::move(hint)), call_(std::move(callInFlight)),
         signal_(signal) {}

   /// "processReplacing(512 frames)", or empty when unknown.
   const std::string& callInFlight() const { return call_; }
   /// The signal that ended the process, or 0 (it ended itself, or was stopped for its time).
   int signal() const { return signal_; }

private:
   std::string call_;
   int signal_;
};

/// A plug-in that did not answer within its time limit and was stopped.
class PluginTimeout : public PluginCrashed {
public:
   using PluginCrashed::PluginCrashed;
};

} // namespace trimwise::host
