#pragma once

#include <cstdint>

#include "stage/stage_times.h"

namespace imaging {

// What a stage may touch of its run: whether it is to stop, and the progress it shows. Stages
// get this rather than the run, so none reads its request or writes its result: they return
// what they found, and only the worker fills the result.
class StageLink {
public:
    StageLink() = default;
    StageLink(const StageLink&) = delete;
    StageLink& operator=(const StageLink&) = delete;
    virtual ~StageLink() = default;

    virtual bool Cancelled() const = 0;

    // A pass over the drive begins: its clock starts now, nothing of it is done yet.
    virtual void Begin() const = 0;
    // How many bytes the pass that follows moves, and how many of them it has moved.
    virtual void SetTotal(std::uint64_t bytes) const = 0;
    virtual void SetDone(std::uint64_t bytes) const = 0;
    // The pass that follows reads the drive again to verify it.
    virtual void Verifying() const = 0;
    // The passes that follow read the image to check it before the card is written; false once
    // the write begins.
    virtual void CheckingImage(bool checking) const = 0;
    // Where the run's buffers wait.
    virtual StageTimes* Times() const = 0;
};

}  // namespace imaging
