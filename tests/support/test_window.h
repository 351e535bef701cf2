#pragma once

// A window of another process on the test desktop: test_window.py, run by the system's Python.

#include <chrono>
#include <cstdint>
#include <string>

#include "support/child_process.h"

namespace marlune::test {

class TestWindow {
  public:
    struct Options {
        std::string title;  // "" leaves the window untitled
        int width = 400;
        int height = 300;
        int x = 50;
        int y = 50;
        std::string color = "#3366cc";
    };

    explicit TestWindow(const Options& o)
        : child_(
              {"/usr/bin/python3", MARLUNE_TEST_SUPPORT_DIR "/test_window.py", "--title=" + o.title,
               "--size=" + std::to_string(o.width) + "x" + std::to_string(o.height),
               "--pos=" + std::to_string(o.x) + "," + std::to_string(o.y), "--color=" + o.color},
              true) {
        if (auto line = child_.readLine(std::chrono::seconds(20))) id_ = std::stoul(*line);
    }

    // The X id of the window; 0 when it did not come up.
    std::uint32_t id() const { return id_; }

    // Sends one command of test_window.py and waits until it has been carried out.
    bool command(const std::string& line) {
        return child_.writeLine(line) && child_.readLine(std::chrono::seconds(10)) == "ok";
    }

    // Closes the window: the end of its input ends the program.
    void close() { child_.finish(std::chrono::seconds(5)); }

  private:
    Child child_;
    std::uint32_t id_ = 0;
};

}  // namespace marlune::test
