// When the page is drawn without OpenGL.

#include "app/web_rendering.h"

#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace marlune {
namespace {

TEST(WebRendering, CpuRenderingOnlyWithoutAGpuAndWithoutAChoiceMade) {
    test::TempDir dri;
    const auto node = [&](const char* name) { std::ofstream(dri / name).put('\0'); };
    struct Case {
        const char* what;
        bool folder;
        std::vector<const char*> nodes;
        const char* chosen;
        bool cpu;
    };
    const Case cases[] = {
        {"no folder at all", false, {}, nullptr, true},
        {"only a display card node", true, {"card0"}, nullptr, true},
        {"a render node", true, {"card0", "renderD128"}, nullptr, false},
        {"a render node, the variable already set", true, {"renderD128"}, "1", false},
        {"no GPU, the variable already set", true, {}, "0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dri.path());
        if (c.folder) std::filesystem::create_directories(dri.path());
        for (const char* n : c.nodes) node(n);
        EXPECT_EQ(switchesToCpuRendering(c.chosen, dri.path()), c.cpu);
    }
}

}  // namespace
}  // namespace marlune
