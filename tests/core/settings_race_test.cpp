// Two instances sharing one settings file used to lose each other's values: each wrote the whole
// file as it knew it. Each store here stands for one instance.

#include <thread>

#include <gtest/gtest.h>

#include "core/key_value_store.h"
#include "support/temp_dir.h"

namespace marlune {
namespace {

TEST(SettingsRace, InstancesKeepEachOthersValues) {
    test::TempDir dir;
    const auto file = dir / "defaults.json";
    KeyValueStore first(file), second(file);
    struct Step {
        KeyValueStore* by;
        const char* key;
        std::optional<Json> value;  // nothing: removed
    };
    const Step steps[] = {
        {&first, "fps", 60},
        {&second, "capHeight", 720},  // knew nothing of "fps"
        {&first, "authUid", "uid-ann"},
        {&second, "micEnabled", false},
        {&second, "fps", nullptr},
        {&first, "webcamZoom", 1.5},
    };
    Json expected = Json::object();
    for (const Step& s : steps) {
        if (s.value && !s.value->is_null()) {
            s.by->set(s.key, *s.value);
            expected[s.key] = *s.value;
        } else {
            s.by->remove(s.key);
            expected.erase(s.key);
        }
        // Both instances, and a third that starts now, read the same.
        for (KeyValueStore* reader : {&first, &second}) {
            for (auto& [key, value] : expected.items()) EXPECT_EQ(reader->value(key), value) << key;
        }
        KeyValueStore third(file);
        for (auto& [key, value] : expected.items()) EXPECT_EQ(third.value(key), value) << key;
        EXPECT_FALSE(third.contains("fps") && !expected.contains("fps"));
    }
}

TEST(SettingsRace, RacingWritersLoseNothing) {
    test::TempDir dir;
    const auto file = dir / "defaults.json";
    constexpr int kWriters = 4, kKeys = 25;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            KeyValueStore store(file);
            for (int k = 0; k < kKeys; ++k)
                store.set("w" + std::to_string(w) + "k" + std::to_string(k), k);
        });
    }
    for (auto& t : writers) t.join();
    KeyValueStore after(file);
    for (int w = 0; w < kWriters; ++w) {
        for (int k = 0; k < kKeys; ++k) {
            EXPECT_EQ(after.integerValue("w" + std::to_string(w) + "k" + std::to_string(k)), k);
        }
    }
}

}  // namespace
}  // namespace marlune
