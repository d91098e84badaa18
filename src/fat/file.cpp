#include "fat/file.h"

namespace {
bool g_pool_ready = false;
}

void FatResetFiles() { g_pool_ready = true; }

void FatEnsureFilePool() {
    if (!g_pool_ready) FatResetFiles();
}
