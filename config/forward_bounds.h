#pragma once

// The bounds and defaults of a forward's settings, each stated once: the settings file, the
// options dialog and the repeaters all hold values to these.

// The settings file beside the executable, and the connection log beside it.
inline constexpr const char* kSettingsFileName = "TarnwickPico.ini";
inline constexpr const char* kConnectionLogFileName = "TarnwickPico.log";

// Most panels one window holds.
inline constexpr int kMostPorts = 10;

// BUFFERSIZE in KiB: the default, and the largest (64 MiB per direction), since a larger one
// would let every connection hold gigabytes.
inline constexpr int kDefaultBufferSizeKb = 128;
inline constexpr int kMostBufferSizeKb = 65536;

// CONNECTTIMEOUT and IDLETIMEOUT, in seconds: at most a day.
inline constexpr int kMaxTimeoutSeconds = 86400;

// NAME, in characters (not bytes).
inline constexpr int kMaxNameLength = 64;

// Destinations of one forward in all: FORWARDHOST:FORWARDPORT and those of DESTINATIONS.
inline constexpr int kMostDestinations = 8;
