#pragma once

// Raises the soft open-files limit to the hard limit: a desktop session's default soft
// limit of 1,024 would cap the relay at about 500 connections (two descriptors each).
// Returns the soft limit now in force, or -1 when it cannot be read.
long raiseDescriptorLimit();
