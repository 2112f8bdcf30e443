#pragma once
// Instances that end themselves: with --max_lifetime every launch is told to
// terminate (not stop) when it shuts down, carries its expiry as a tag, and
// gets a start-up timer that powers it off when that time comes. A pipeline
// that dies before its revert then leaves nothing running for long, and
// probefleet-sweep --expired finds what outlived its time.

#include <chrono>
#include <optional>
#include <string>

namespace probefleet {

/// The tag of a self-ending instance: its expiry, ISO 8601 UTC to the second
/// ("2026-12-09T15:00:00Z").
inline constexpr const char* kExpiresTagKey = "probefleet:expires";

/// A duration as the options spell it: one or more groups of a positive
/// whole number and a unit, s, m, h or d ("90s", "30m", "6h", "2d", "1h30m").
/// nullopt for anything else, zero included, or a total beyond a year.
std::optional<std::chrono::seconds> parseDuration(const std::string& text);

/// The time an ISO 8601 UTC text names ("...Z", fractions allowed), as EC2,
/// IAM and the expiry tag write it; nullopt when it is not one.
std::optional<std::chrono::system_clock::time_point> parseIsoUtc(const std::string& text);

/// Where cloud-init keeps the scripts it runs on every boot, and the name
/// of the shutdown timer there.
inline constexpr const char* kPerBootDirectory = "/var/lib/cloud/scripts/per-boot";
inline constexpr const char* kPerBootTimerName = "probefleet-expiry.sh";

/// The start-up text of an instance that must power itself off at
/// `expires`: shell lines that install the shutdown timer as a per-boot
/// script of cloud-init (kPerBootDirectory/kPerBootTimerName) and run it
/// once. The timer counts the minutes left to `expires` on the instance's
/// own clock whenever it runs, and shuts down at once when none are left, so
/// a reboot or a stop and start neither forgets nor stretches the lifetime.
/// The lines stand alone under "#!/bin/bash", or, when `script` is a shell
/// script, right after its first line so the timer is set before the
/// script's own work, which may hang or fail. A `script` without a "#!" line
/// is refused with std::invalid_argument: it could not carry the timer.
std::string withShutdownTimer(const std::optional<std::string>& script,
                              std::chrono::system_clock::time_point expires);

}  // namespace probefleet
