// Linked into test programs whose code logs at level 0: keeps their output to test results.
// Tests that check log lines install their own writer.
#include "LogWriter.h"

namespace {
const bool kQuiet = (g_ptrLogWriter->SetLevel(-1), true);
}  // namespace
