// A display is named by the product name its EDID carries, as its maker printed it.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/x11_monitors.h"

namespace marlune {
namespace {

// A 128-byte EDID block whose descriptor `slot` (0 to 3) has tag `tag` and carries `text`.
std::vector<std::uint8_t> edid(int slot, std::uint8_t tag, const std::string& text) {
    std::vector<std::uint8_t> block(128, 0);
    const std::uint8_t header[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
    std::copy(header, header + 8, block.begin());
    // The first descriptor holds a detailed timing (a pixel clock that is not 0).
    block[54] = 0x01;
    block[55] = 0x1d;
    std::uint8_t* d = block.data() + 54 + 18 * slot;
    if (slot > 0) {
        d[0] = d[1] = d[2] = 0;
        d[3] = tag;
        for (std::size_t i = 0; i < 13; ++i) d[5 + i] = i < text.size() ? text[i] : 0x20;
    }
    return block;
}

TEST(MonitorNames, TheProductNameComesFromTheEdidsNameDescriptor) {
    const struct {
        std::vector<std::uint8_t> block;
        std::optional<std::string> name;
    } cases[] = {
        {edid(1, 0xfc, "DELL U2720Q\n"), "DELL U2720Q"},
        {edid(3, 0xfc, "LG ULTRAFINE"), "LG ULTRAFINE"},       // 13 characters, no line feed
        {edid(2, 0xfc, " Studio  \n  "), "Studio"},            // padding around it
        {edid(1, 0xff, "SERIAL123\n"), std::nullopt},          // a serial number, not a name
        {edid(0, 0xfc, ""), std::nullopt},                     // timings only
        {edid(1, 0xfc, "\n"), std::nullopt},                   // an empty name
        {std::vector<std::uint8_t>(64, 0), std::nullopt},      // too short
        {std::vector<std::uint8_t>(128, 0x20), std::nullopt},  // no EDID header
    };
    for (const auto& c : cases) {
        EXPECT_EQ(x11::edidProductName(c.block), c.name) << c.name.value_or("(none)");
    }
}

}  // namespace
}  // namespace marlune
