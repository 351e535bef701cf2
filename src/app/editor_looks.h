#pragma once

#include <memory>

#include "core/error.h"
#include "core/json.h"
#include "core/key_value_store.h"

namespace marlune {

// The editor's looks, kept in the settings: the default look, which styles every recording opened
// without an edit of its own, and named looks to pick from. A look is an object with the edit's
// "frame", "cursor" and "webcam" sections and its output "shape"; other members are dropped, and
// the page checks each setting when it applies one, as it checks a saved edit.
//
// Each look is a key of its own ("EditorDefaultLook", "EditorLook:" + name), so that two running
// instances saving different looks keep each other's (the store writes only the keys it changed).
// Thread-safe through the store.
class EditorLooks {
  public:
    // Longest name kept, in bytes, and largest look, as JSON text.
    static constexpr std::size_t kMaxNameBytes = 120;
    static constexpr std::size_t kMaxLookBytes = 16384;

    explicit EditorLooks(std::shared_ptr<KeyValueStore> store) : store_(std::move(store)) {}

    // The default look in `store`, or null.
    static Json defaultLook(const KeyValueStore& store);

    // {"defaultLook": look or null, "looks": [{"name", "look"}, …] in the order of their names}.
    Json list() const;
    // {"look", "name"} keeps a named look (replacing one of the same name); {"look", "default":
    // true} makes it the default. Fails with "A look needs a name." for a name that is missing,
    // empty, too long or holds control characters, and "A look holds the edit's frame, cursor,
    // webcam and shape." for a look that is not an object or is too large.
    Result<void> save(const Json& payload);
    // {"name"} forgets that look; {"default": true} forgets the default one. Forgetting a look
    // that is not there does nothing.
    Result<void> remove(const Json& payload);

  private:
    std::shared_ptr<KeyValueStore> store_;
};

}  // namespace marlune
