// SPDX-License-Identifier: MIT
// The measurements. Each plays its signals through a Device and returns its part of the
// analysis document: the object for its key ("linear", "thd", ...), with "status" "ok", or
// "not_applicable" and a "reason" (an instrument asked for an audio input's measurement). A
// value that cannot be measured is null, with a sibling key "<name>_reason" saying why. They
// throw MeasurementFailed for output that cannot be analysed.
#pragma once

#include "tools/hostlib/analysis/analysis.h"
#include "tools/hostlib/analysis/device.h"

#include <trimwise/host/plugin.h>

namespace trimwise::host::analysis {

// {"latency": {...}, "linear": {...}}: the response from an exponential sweep, and the latency
// measured from its impulse response beside the one reported.
Json measureLinear(Device& device, const AnalysisOptions& options);
Json measureThd(Device& device, const AnalysisOptions& options);
Json measureDynamics(Device& device, const AnalysisOptions& options);
Json measureAliasing(Device& device, const AnalysisOptions& options);
// Tail to -60 and -120 dB against the reported tail, noise floor and DC with silent input.
Json measureTime(Device& device, const AnalysisOptions& options);
// Spectrum, level of a short sequence of notes (instruments only).
Json measureInstrument(Device& device, const AnalysisOptions& options);
// The real-time factor per block size and precision; times real processing, so it takes the
// plug-in itself.
Json measureCost(const Plugin& plugin, const AnalysisOptions& options);

// Held by every other measurement while it runs (a shared lock on a file in the temporary
// folder): measureCost takes the same lock exclusively, so that it times only while no
// measurement of any analysis on this machine runs. Waits while a cost section times.
class MachineShare {
public:
   MachineShare();
   ~MachineShare();
   MachineShare(const MachineShare&) = delete;
   MachineShare& operator=(const MachineShare&) = delete;

private:
   int fd_ = -1;
};

} // namespace trimwise::host::analysis
