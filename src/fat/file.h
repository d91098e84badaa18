// Open files: the pool of two FatFile records and the file operations.
#pragma once

// Puts both records on the free list; records that were open are forgotten.
void FatResetFiles();
// Initialises the pool when that has not been done yet.
void FatEnsureFilePool();
