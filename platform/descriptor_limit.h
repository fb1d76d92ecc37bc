#pragma once

// The open-files limits after raiseDescriptorLimit.
struct DescriptorLimit {
    long soft = -1;  // in force now; -1 when unknown or unlimited
    long hard = -1;  // -1 when unknown or unlimited
    int error = 0;   // errno of the call that failed; 0 when the soft limit is the hard one
};

// Raises the soft open-files limit to the hard limit: a desktop session's default soft
// limit of 1,024 would cap the relay at about 500 connections (two descriptors each).
// On failure the limits stay as they were.
DescriptorLimit raiseDescriptorLimit();
