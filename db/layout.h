#pragma once
// The plant's database layout: numbered steps, each applied once in a
// transaction of its own and recorded in the database, the layout's version
// being the number of steps; then the views and functions, replayed after
// any step. A step's file is never edited once released: a change is a new
// step.

#include "pq_session.h"

#include <span>

namespace j4::db {

// A file of the layout as it was compiled in.
struct LayoutFile {
    const char* name;
    const char* sql;
    const char* sha256;
};

struct LayoutFiles {
    const char* stepsKept; // the table the steps are recorded in
    std::span<const LayoutFile> steps;
    std::span<const LayoutFile> replayed;
    const char* replayedSha256; // of the replayed files together
};
const LayoutFiles& layoutFiles();

// The layout made when missing and brought up to this program's steps,
// under one advisory lock so that programs starting together do not make it
// twice. A role that may not alter it goes on with it as it is: its records
// go into the columns there are, and `plant` says the plant's tables and
// functions are not those this program needs.
struct Layout {
    bool plant = false;
};
Result<Layout> ensureLayout(PqSession& session);

} // namespace j4::db
