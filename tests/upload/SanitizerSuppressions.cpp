// The GBK text fields are converted with one iconv converter per thread (platform/Text.cpp),
// which is not closed when the thread ends: each upload worker thread that builds packets
// leaves that converter behind. The leak detector is told about it here, by name, until the
// converter is released at thread exit; every other leak still fails the tests.
extern "C" const char* __lsan_default_suppressions() { return "leak:bhv::GbkField\n"; }
