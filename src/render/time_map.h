#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace marlune {

// Which stretches of the source recording make up an exported movie, where each lands on the
// output timeline and how fast it plays there. Built once per export from the export range, the
// cuts (stretches to remove) and the speeds (stretches played faster); immutable afterwards, so
// any thread may read it. All times in milliseconds.
class TimeMap {
  public:
    struct Cut {
        std::int64_t start;
        std::int64_t end;
    };
    struct Speed {
        std::int64_t start;
        std::int64_t end;
        double rate;  // source milliseconds per output millisecond
    };
    struct Range {
        double srcStart;  // source time where the kept stretch begins
        double srcEnd;
        double outStart;  // where it begins on the output timeline
        double rate = 1;  // how fast it plays: its output length is (srcEnd - srcStart) / rate
    };

    // Cuts may come in any order, overlap, or reach outside [startMs, endMs] (they are clipped; an
    // inverted or empty cut removes nothing). When nothing would be kept (the cuts cover the whole
    // range, or the range itself is empty or inverted) the map falls back to the single range
    // (startMs, endMs): callers that must refuse such an export test totalOutMs().
    //
    // Speeds split the kept ranges where they begin and end; they are clipped like cuts, a rate
    // that is not a finite number above 0 is ignored, and where two overlap the one that starts
    // first holds. Neighbouring pieces of one kept range that play at the same rate stay one.
    TimeMap(std::int64_t startMs, std::int64_t endMs, std::vector<Cut> cuts = {},
            std::vector<Speed> speeds = {});

    // Kept ranges in ascending source order; outStart of the first is 0, each next one starts where
    // the previous ended on the output timeline.
    const std::vector<Range>& kept() const { return kept_; }
    // Output length: the sum of the kept ranges' output lengths.
    double totalOutMs() const { return totalOutMs_; }
    // True when the output joins two or more stretches of the source (speeds alone never do).
    bool hasCuts() const { return hasCuts_; }
    // True when output time is not just source time shifted: a cut (at an end of the range too)
    // or a speed other than 1.
    bool changesTime() const { return changesTime_; }

    // The source time shown at output time `forOutput`. Past the end it clamps to the last kept
    // source time; before 0 it extends the first range backwards at its rate (no lower clamp).
    double source(double forOutput) const;

    // The output time at which source time `src` shows, or nothing when a cut removes it (also a
    // cut at either end of the range). Outside the range time runs on at the speed of the kept
    // range beside it (without cuts or speeds: src - startMs everywhere).
    std::optional<double> output(double src) const;
    // As output(), with a removed time placed where its cut went: the output time at which the
    // next kept stretch starts.
    double outputOrJoin(double src) const;

  private:
    std::vector<Range> kept_;
    double totalOutMs_ = 0;
    bool hasCuts_ = false;
    bool changesTime_ = false;
    bool trimmed_ = false;  // a cut removes time at the start or the end of the range
    double startMs_ = 0;
    double endMs_ = 0;
};

}  // namespace marlune
