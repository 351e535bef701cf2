#include "core/key_value_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "core/debug_log.h"
#include "core/write_fully.h"

namespace marlune {

namespace fs = std::filesystem;

namespace {

std::string utcStamp() {
    std::time_t t = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &utc);
    return buf;
}

// Leading integer of a text, as a defaults object reads a string under an integer key.
std::int64_t leadingInteger(const std::string& text) {
    errno = 0;
    long long v = std::strtoll(text.c_str(), nullptr, 10);
    return errno == ERANGE ? 0 : v;
}

double leadingDouble(const std::string& text) {
    double v = std::strtod(text.c_str(), nullptr);
    return std::isfinite(v) ? v : 0.0;
}

bool textIsTrue(const std::string& text) {
    if (text.empty()) return false;
    char c = text[0];
    if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
    return leadingInteger(text) != 0;
}

// What tells one version of the file from another.
std::array<std::int64_t, 5> identityOf(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return {};
    return {static_cast<std::int64_t>(st.st_dev), static_cast<std::int64_t>(st.st_ino),
            static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_ctim.tv_sec),
            static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
}

// The file's object as it is now; nothing when it is missing or not a JSON object.
std::optional<Json> readObject(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = parseJson(text.str());
    if (!parsed || !parsed->is_object()) return std::nullopt;
    return std::move(*parsed);
}

}  // namespace

KeyValueStore::KeyValueStore(fs::path file) : file_(std::move(file)) {
    load();
    seen_ = identityOf(file_);
}

void KeyValueStore::refreshLocked() const {
    const auto now = identityOf(file_);
    if (now == seen_ || now == std::array<std::int64_t, 5>{}) return;
    auto disk = readObject(file_);
    if (!disk) return;  // being edited by hand, or damaged: what we have stays
    for (const auto& key : changed_) {
        auto mine = values_.find(key);
        if (mine != values_.end()) {
            (*disk)[key] = *mine;
        } else {
            disk->erase(key);
        }
    }
    values_ = std::move(*disk);
    seen_ = now;
}

void KeyValueStore::load() {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file_, ec))) return;

    std::ifstream in(file_, std::ios::binary);
    std::stringstream text;
    bool readOk = false;
    if (in) {
        text << in.rdbuf();
        readOk = !in.bad();
    }
    if (readOk) {
        auto parsed = parseJson(text.str());
        if (parsed && parsed->is_object()) {
            values_ = std::move(*parsed);
            return;
        }
    }
    fs::path aside = file_;
    aside += ".corrupt-" + utcStamp();
    fs::rename(file_, aside, ec);
    systemLog("Marlune: settings file " + file_.string() + " was unreadable; moved to " +
              aside.string());
}

bool KeyValueStore::contains(std::string_view key) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    return values_.contains(key);
}

std::vector<std::string> KeyValueStore::keys() const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    std::vector<std::string> out;
    for (const auto& [key, value] : values_.items()) out.push_back(key);
    return out;
}

std::optional<Json> KeyValueStore::value(std::string_view key) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return *it;
}

std::optional<bool> KeyValueStore::boolValue(std::string_view key) const {
    auto v = value(key);
    if (!v) return std::nullopt;
    if (v->is_boolean()) return v->get<bool>();
    if (v->is_number()) return v->get<double>() != 0.0;
    if (v->is_string()) return textIsTrue(v->get<std::string>());
    return false;
}

std::optional<std::int64_t> KeyValueStore::integerValue(std::string_view key) const {
    auto v = value(key);
    if (!v) return std::nullopt;
    if (auto i = integralValue(*v)) return *i;
    if (v->is_number_float()) {
        double d = v->get<double>();
        if (std::isfinite(d) && std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
        return 0;
    }
    if (v->is_boolean()) return v->get<bool>() ? 1 : 0;
    if (v->is_string()) return leadingInteger(v->get<std::string>());
    return 0;
}

std::optional<double> KeyValueStore::doubleValue(std::string_view key) const {
    auto v = value(key);
    if (!v) return std::nullopt;
    if (v->is_number()) return v->get<double>();
    if (v->is_boolean()) return v->get<bool>() ? 1.0 : 0.0;
    if (v->is_string()) return leadingDouble(v->get<std::string>());
    return 0.0;
}

std::optional<std::string> KeyValueStore::stringValue(std::string_view key) const {
    auto v = value(key);
    if (!v) return std::nullopt;
    if (v->is_string()) return v->get<std::string>();
    if (v->is_number() || v->is_boolean()) return v->dump();
    return std::nullopt;
}

void KeyValueStore::set(std::string_view key, Json value) {
    Result<void> failed;
    {
        std::lock_guard lock(mutex_);
        refreshLocked();
        values_[std::string(key)] = std::move(value);
        changed_.insert(std::string(key));
        failed = changedLocked();
    }
    reportFailure(failed);
}

void KeyValueStore::remove(std::string_view key) {
    Result<void> failed;
    {
        std::lock_guard lock(mutex_);
        refreshLocked();
        if (values_.erase(std::string(key)) == 0) return;
        changed_.insert(std::string(key));
        failed = changedLocked();
    }
    reportFailure(failed);
}

void KeyValueStore::setOnSaveFailure(std::function<void(const Error&)> handler) {
    std::lock_guard lock(mutex_);
    onSaveFailure_ = std::move(handler);
}

void KeyValueStore::reportFailure(const Result<void>& saved) const {
    if (saved) return;
    std::function<void(const Error&)> handler;
    {
        std::lock_guard lock(mutex_);
        handler = onSaveFailure_;
    }
    if (handler) handler(saved.error());
}

KeyValueStore::Batch::Batch(KeyValueStore& store) : store_(store) {
    std::lock_guard lock(store_.mutex_);
    ++store_.batchDepth_;
}

KeyValueStore::Batch::~Batch() {
    Result<void> failed;
    {
        std::lock_guard lock(store_.mutex_);
        if (--store_.batchDepth_ == 0 && store_.dirty_) failed = store_.persistLocked();
    }
    store_.reportFailure(failed);
}

Result<void> KeyValueStore::changedLocked() {
    if (batchDepth_ > 0) {
        dirty_ = true;
        return {};
    }
    return persistLocked();
}

Result<void> KeyValueStore::persistLocked() {
    static std::atomic<unsigned> counter{0};
    dirty_ = false;
    std::error_code ec;
    fs::create_directories(file_.parent_path(), ec);
    // Read, change and replace under the lock every instance takes: only the keys changed here
    // are written over what the file holds now.
    // The lock is the folder's (flock on the folder itself): no lock file is left beside it.
    const fs::path folder = file_.has_parent_path() ? file_.parent_path() : fs::path(".");
    const int lockFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lockFd >= 0) {
        while (::flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    struct Unlock {
        int fd;
        ~Unlock() {
            if (fd >= 0) ::close(fd);  // closing lets the lock go
        }
    } unlock{lockFd};
    seen_ = {};  // read the file whatever its identity
    refreshLocked();
    std::string text = values_.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";

    fs::path tmp = file_;
    tmp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);

    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && writeFully(fd, text) && ::fsync(fd) == 0;
    if (fd >= 0) ok = (::close(fd) == 0) && ok;
    if (ok) ok = ::rename(tmp.c_str(), file_.c_str()) == 0;
    if (ok) {
        changed_.clear();
        seen_ = identityOf(file_);
    }
    if (!ok) {
        int err = errno;
        ::unlink(tmp.c_str());
        std::string message =
            "Settings cannot be saved to " + file_.string() + ": " + std::strerror(err);
        systemLog("Marlune: " + message);
        return fail(message + ". Changes last until Marlune Studio quits.");
    }
    return {};
}

}  // namespace marlune
