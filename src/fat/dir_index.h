// What the last full passes over a few directories learnt about them, so that
// creating many entries in that directory does not cost a pass per entry.
//
// The index holds a key for every name an entry of the directory answers
// to, every short name in use (hidden entries too) and the state the
// free-slot search ends in. A name whose key is absent is free; any other
// name is left to a real pass, as keys of different names may collide.
//
// It only ever describes what the medium holds: a mount forgets it, every
// write over one of the directory's sectors forgets it (unless the writer
// says the edit keeps names and slots as they were, or records its new
// entry set), and a change to the directory's cluster chain is caught
// before each use. A caller that writes the medium behind the engine's
// back must mount again, as for the directory cache.
#pragma once

#include <cstdint>

#include "fat/directory.h"
#include "fat/long_name.h"
#include "fat/volume.h"

// Forgets the index (a mount).
void FatDirIndexReset(FatVolume& volume);
// Builds the index of a directory in a pass of its own: true when it now
// describes the directory.
bool FatDirIndexBuild(FatVolume& volume, std::uint32_t start);
// Whether the index describes this directory as the medium holds it now.
bool FatDirIndexCovers(FatVolume& volume, std::uint32_t start);
// For a name whose key is absent: true, and the plan a full pass would have
// made (plan->slots_needed already set). False: a pass must decide.
bool FatDirIndexPlan(FatVolume& volume, std::uint32_t start, const char* name, FatCreatePlan* plan);
// Whether an entry set written where the plan says can be recorded by
// FatDirIndexNoteCreate instead of forgetting the index.
bool FatDirIndexFollows(FatVolume& volume, std::uint32_t start, const FatCreatePlan& plan);
// The folder grew as a followed plan said (its new clusters are linked and
// zeroed): the index takes in the new clusters and their free slots.
void FatDirIndexNoteGrowth(FatVolume& volume, std::uint32_t start);
// Records an entry set written as the plan said (after FatDirIndexFollows):
// its long name as the parts written carry it, and its short entry.
void FatDirIndexNoteCreate(FatVolume& volume, std::uint32_t start, const FatLongName& long_name,
                           const std::uint8_t* short_entry, const FatCreatePlan& plan);
// Forgets the index (a write it was to follow failed part-way).
void FatDirIndexForget(FatVolume& volume, std::uint32_t start);
// A write over [first_sector, first_sector + count) is about to happen.
void FatDirIndexNoteWrite(const FatVolume& volume, std::uint32_t first_sector, std::uint32_t count);
