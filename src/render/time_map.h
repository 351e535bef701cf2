#pragma once

#include <cstdint>
#include <vector>

namespace marlune {

// Which stretches of the source recording make up an exported movie, and where each lands on the
// output timeline. Built once per export from the export range and the cuts (stretches to remove);
// immutable afterwards, so any thread may read it. All times in milliseconds.
class TimeMap {
  public:
    struct Cut {
        std::int64_t start;
        std::int64_t end;
    };
    struct Range {
        double srcStart;  // source time where the kept stretch begins
        double srcEnd;
        double outStart;  // where it begins on the output timeline
    };

    // Cuts may come in any order, overlap, or reach outside [startMs, endMs] (they are clipped; an
    // inverted or empty cut removes nothing). When nothing would be kept (the cuts cover the whole
    // range, or the range itself is empty or inverted) the map falls back to the single range
    // (startMs, endMs): callers that must refuse such an export test totalOutMs().
    TimeMap(std::int64_t startMs, std::int64_t endMs, std::vector<Cut> cuts = {});

    // Kept ranges in ascending source order; outStart of the first is 0, each next one starts where
    // the previous ended on the output timeline.
    const std::vector<Range>& kept() const { return kept_; }
    // Output length: the sum of the kept ranges' lengths.
    double totalOutMs() const { return totalOutMs_; }
    // True when the output joins two or more stretches.
    bool hasCuts() const { return kept_.size() >= 2; }

    // The source time shown at output time `forOutput`. Past the end it clamps to the last kept
    // source time; before 0 it extends the first range backwards (no lower clamp).
    double source(double forOutput) const;

  private:
    std::vector<Range> kept_;
    double totalOutMs_ = 0;
};

}  // namespace marlune
