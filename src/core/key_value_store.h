#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/json.h"

namespace marlune {

// The user-defaults store: a flat JSON object, key → value, kept in one file that a person may edit
// while the program is not running. Every write replaces the file atomically (temporary file,
// fsync, rename; mode 0600), so the file on disk is always a complete earlier or later state. A
// file that cannot be read or parsed is renamed aside ("<file>.corrupt-<UTC time>") and the store
// starts empty. Thread-safe; every member may be called from any thread.
//
// Several instances (processes) may share the file: a write takes a lock (flock on its folder),
// reads the file as it is now and changes only the keys this store changed, so no instance's
// values are lost to another's; and a read first takes in what another instance wrote since.
//
// The typed reads mirror a platform defaults object: each returns nothing when the key was never
// stored, and otherwise coerces whatever is stored (a string under an integer key reads as its
// leading integer, so "abc" reads 0; a number under a Bool key is true when non-zero).
class KeyValueStore {
  public:
    explicit KeyValueStore(std::filesystem::path file);

    const std::filesystem::path& file() const { return file_; }

    bool contains(std::string_view key) const;
    // Every key stored now, in the file's order.
    std::vector<std::string> keys() const;
    std::optional<Json> value(std::string_view key) const;
    std::optional<bool> boolValue(std::string_view key) const;
    std::optional<std::int64_t> integerValue(std::string_view key) const;
    std::optional<double> doubleValue(std::string_view key) const;
    // Strings as stored; numbers and booleans in their text form; other kinds read as nothing.
    std::optional<std::string> stringValue(std::string_view key) const;

    // Stores and persists. A write that cannot reach the disk keeps the value in memory, says so
    // on the system log and tells the save-failure handler.
    void set(std::string_view key, Json value);
    void remove(std::string_view key);

    // Called after every write that could not reach the disk, with a message naming the file and
    // the reason; on the writing thread, outside the store's lock. Set it once, before writes.
    void setOnSaveFailure(std::function<void(const Error&)> handler);

    // Groups several writes into one file replacement, made when the last open batch closes.
    class Batch {
      public:
        explicit Batch(KeyValueStore& store);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

      private:
        KeyValueStore& store_;
    };

  private:
    void load();
    // Takes in the file when another instance replaced it since this store last read or wrote
    // it; the keys changed here and not yet written keep their values.
    void refreshLocked() const;
    // Both fail with the error of a write that failed, for the handler.
    Result<void> changedLocked();
    Result<void> persistLocked();
    void reportFailure(const Result<void>& saved) const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    mutable Json values_ = Json::object();  // guarded by mutex_
    std::set<std::string> changed_;         // keys to write; guarded by mutex_
    // The file's identity when it was last read or written (device, inode, size, change time).
    mutable std::array<std::int64_t, 5> seen_{};  // guarded by mutex_
    int batchDepth_ = 0;                          // guarded by mutex_
    bool dirty_ = false;                          // guarded by mutex_
    std::function<void(const Error&)> onSaveFailure_;
};

}  // namespace marlune
