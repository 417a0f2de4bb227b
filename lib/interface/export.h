#pragma once

/// Marks the classes and functions that libtrklib.so.1 exports. The library
/// is built with hidden visibility, so everything not marked stays internal.
#define TRKLIB_EXPORT __attribute__((visibility("default")))
