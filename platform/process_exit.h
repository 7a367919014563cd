#pragma once

// Ends the process with `status` from the UI thread while the worker may still be inside libcurl
// or libarchive: the standard streams are flushed, but static destructors and exit handlers do
// not run, so nothing the worker uses is torn down under it.
[[noreturn]] void endProcess(int status);
