#pragma once
// What a failed step of an upload means and what to try, one row per fault.
// The connection test shows these lines under a failed step, and the help
// topic on the connection test lists the same rows.

#include "upload/UploadJob.h"

#include <QString>

#include <span>

struct TUploadAdvice {
    TUploadFault fault;
    const char* meaning;  // what went wrong, in plain words
    const char* action;   // what to try
};

// Every fault but None, in the order the help lists them.
std::span<const TUploadAdvice> UploadAdviceTable();

// The row of a fault; nullptr for None.
const TUploadAdvice* FindUploadAdvice(TUploadFault fault);

// The name of a step as the test lists it ("Connection", "Log-in", ...).
QString UploadStepName(TUploadStepKind kind);
