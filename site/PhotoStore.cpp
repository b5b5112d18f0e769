#include "PhotoStore.h"

#include "SiteText.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace nubelo::site {

namespace {

constexpr std::string_view kIndex = "index.jsonl";
constexpr std::string_view kAlbums = "albums.jsonl";
constexpr std::string_view kTempPrefix = ".tmp-";

std::string errnoText(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The site's folders are its own: no other user reads the photos or the account names, which
// are e-mail addresses. Made 0700 when missing, and made so when found otherwise.
bool makePrivateFolder(const fs::path &dir, std::error_code &ec) {
    if (dir.has_parent_path())
        fs::create_directories(dir.parent_path(), ec);
    if (ec)
        return false;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        ec.assign(errno, std::generic_category());
        return false;
    }
    if (!fs::is_directory(dir, ec)) {
        if (!ec)
            ec = std::make_error_code(std::errc::not_a_directory);
        return false;
    }
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, ec);
    return !ec;
}

bool syncDirectory(const fs::path &dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Appends one line and flushes it to disk. A line torn by an earlier crash is ended first, so
// it does not swallow the new one.
bool appendLine(const fs::path &file, const std::string &line) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    std::string out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            out += '\n';
    }
    out += line;
    out += '\n';
    const bool ok = writeAll(fd, out) && ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::optional<std::string> readWhole(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return std::move(buffer).str();
}

std::string_view extensionFor(std::string_view bytes) {
    if (bytes.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8))
        return "png";
    if (bytes.substr(0, 3) == "\xff\xd8\xff")
        return "jpg";
    if (bytes.substr(0, 4) == "GIF8")
        return "gif";
    return "bin";
}

std::string photoFileName(std::uint64_t number, std::string_view extension) {
    char name[64];
    std::snprintf(name, sizeof name, "photo-%06llu.", static_cast<unsigned long long>(number));
    return name + std::string(extension);
}

// "photo-000012.png" gives 12.
std::optional<std::uint64_t> photoNumber(const std::string &fileName) {
    constexpr std::string_view prefix = "photo-";
    if (fileName.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    const auto dot = fileName.find('.', prefix.size());
    if (dot == std::string::npos || dot == prefix.size() || dot - prefix.size() > 18)
        return std::nullopt;
    std::uint64_t n = 0;
    for (std::size_t i = prefix.size(); i < dot; ++i) {
        if (fileName[i] < '0' || fileName[i] > '9')
            return std::nullopt;
        n = n * 10 + static_cast<std::uint64_t>(fileName[i] - '0');
    }
    return n == 0 ? std::nullopt : std::optional(n);
}

std::string indexLine(const StoredPhoto &photo) {
    return "{\"number\":" + std::to_string(photo.number) +
           ",\"file\":" + jsonString(photo.path.filename().string()) +
           ",\"size\":" + std::to_string(photo.size) + ",\"sha256\":" + jsonString(photo.sha256) +
           ",\"time\":" + jsonString(utcTimestamp()) + "}";
}

// Moves `from` to `to` unless `to` exists.
bool renameNoReplace(const fs::path &from, const fs::path &to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without RENAME_NOREPLACE: the caller holds the account's lock, and nothing
    // else writes into the folder.
    std::error_code ec;
    if (fs::exists(to, ec)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

} // namespace

PhotoStore::PhotoStore(fs::path root)
    : mRoot(std::move(root)) {}

bool PhotoStore::open(std::string *error) {
    if (mRoot.empty()) {
        *error = "no data folder given";
        return false;
    }
    std::error_code ec;
    if (!makePrivateFolder(mRoot, ec)) {
        *error = "cannot use the data folder " + mRoot.string() + ": " + ec.message();
        return false;
    }
    return true;
}

std::string PhotoStore::folderName(std::string_view email) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const std::string lower = toLowerAscii(email);
    std::string out;
    for (std::size_t i = 0; i < lower.size(); ++i) {
        const auto c = static_cast<unsigned char>(lower[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '@' ||
                           c == '_' || c == '+' || c == '-' || (c == '.' && i > 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xf];
        }
    }
    if (out.empty() || out.size() > 200)
        return "account-" + sha256Hex(lower);
    return out;
}

PhotoStore::Account &PhotoStore::account(std::string_view email) {
    const std::string key = folderName(email);
    std::lock_guard lock(mMutex);
    auto &slot = mAccounts[key];
    if (!slot) {
        slot = std::make_unique<Account>();
        slot->dir = mRoot / key;
    }
    return *slot;
}

bool PhotoStore::load(Account &account, std::string *error) {
    if (account.loaded)
        return true;
    std::error_code ec;
    if (!makePrivateFolder(account.dir, ec)) {
        *error = "cannot make the account folder: " + ec.message();
        return false;
    }

    // What lies in the folder: photos by number, and leftovers of writes cut short.
    std::map<std::uint64_t, fs::path> files;
    for (const auto &entry : fs::directory_iterator(account.dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, kTempPrefix.size(), kTempPrefix) == 0) {
            std::error_code ignored;
            fs::remove(entry.path(), ignored);
        } else if (const auto n = photoNumber(name); n && entry.is_regular_file(ec)) {
            files.emplace(*n, entry.path());
        }
    }
    if (ec) {
        *error = "cannot list the account folder: " + ec.message();
        return false;
    }

    std::uint64_t highest = 0;
    std::set<std::uint64_t> indexed;
    if (auto text = readWhole(account.dir / kIndex)) {
        std::istringstream lines(*text);
        std::string line;
        while (std::getline(lines, line)) {
            const auto json = parseJsonFlat(line);
            if (!json)
                continue; // a line torn by a crash
            const auto number = json->number("number");
            const auto file = json->string("file");
            if (!number || !file)
                continue;
            highest = std::max(highest, *number);
            const auto it = files.find(*number);
            if (it == files.end() || it->second.filename() != *file || indexed.count(*number))
                continue;
            indexed.insert(*number);
            account.photos.push_back(StoredPhoto{*number, it->second,
                                                 json->number("size").value_or(0),
                                                 json->string("sha256").value_or("")});
        }
    }
    // Photos renamed into place whose index line never made it to disk.
    for (const auto &[number, path] : files) {
        highest = std::max(highest, number);
        if (indexed.count(number))
            continue;
        const auto bytes = readWhole(path);
        if (!bytes)
            continue;
        StoredPhoto photo{number, path, bytes->size(), sha256Hex(*bytes)};
        appendLine(account.dir / kIndex, indexLine(photo));
        account.photos.push_back(std::move(photo));
    }
    std::sort(account.photos.begin(), account.photos.end(),
              [](const StoredPhoto &a, const StoredPhoto &b) { return a.number < b.number; });
    account.next = highest + 1;

    if (auto text = readWhole(account.dir / kAlbums)) {
        std::istringstream lines(*text);
        std::string line;
        while (std::getline(lines, line)) {
            const auto json = parseJsonFlat(line);
            const auto name = json ? json->string("name") : std::nullopt;
            if (name && std::find(account.albums.begin(), account.albums.end(), *name) ==
                            account.albums.end())
                account.albums.push_back(*name);
        }
    }
    account.loaded = true;
    return true;
}

PhotoStore::Stored PhotoStore::store(std::string_view email, std::string_view bytes) {
    Account &acc = account(email);
    fs::path dir;
    {
        std::lock_guard lock(acc.mutex);
        std::string error;
        if (!load(acc, &error))
            return {std::nullopt, error};
        dir = acc.dir;
    }

    // The slow part (writing and flushing) runs without the lock, so uploads to one account
    // overlap; only the numbering and the index are serialised.
    const fs::path temp = dir / (std::string(kTempPrefix) + randomHex(8));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return {std::nullopt, errnoText("cannot create a file for the photo")};
    if (!writeAll(fd, bytes) || ::fsync(fd) != 0) {
        const auto error = errnoText("cannot write the photo");
        ::close(fd);
        ::unlink(temp.c_str());
        return {std::nullopt, error};
    }
    if (::close(fd) != 0) {
        const auto error = errnoText("cannot write the photo");
        ::unlink(temp.c_str());
        return {std::nullopt, error};
    }
    StoredPhoto photo;
    photo.size = bytes.size();
    photo.sha256 = sha256Hex(bytes);
    const auto extension = extensionFor(bytes);

    std::lock_guard lock(acc.mutex);
    for (int attempt = 0;; ++attempt) {
        photo.number = acc.next++;
        photo.path = dir / photoFileName(photo.number, extension);
        if (renameNoReplace(temp, photo.path))
            break;
        if (errno != EEXIST || attempt > 1000) {
            const auto error = errnoText("cannot name the photo");
            ::unlink(temp.c_str());
            return {std::nullopt, error};
        }
    }
    syncDirectory(dir);
    // A lost index line is recovered from the photo on the next load.
    appendLine(dir / kIndex, indexLine(photo));
    acc.photos.push_back(photo);
    return {photo, {}};
}

std::vector<StoredPhoto> PhotoStore::photos(std::string_view email) {
    Account &acc = account(email);
    std::lock_guard lock(acc.mutex);
    std::string error;
    if (!acc.loaded && !fs::exists(acc.dir))
        return {};
    load(acc, &error);
    return acc.photos;
}

std::optional<std::string> PhotoStore::readPhoto(std::string_view email, std::uint64_t number) {
    fs::path path;
    {
        Account &acc = account(email);
        std::lock_guard lock(acc.mutex);
        std::string error;
        if (!acc.loaded && !fs::exists(acc.dir))
            return std::nullopt;
        load(acc, &error);
        const auto it = std::find_if(acc.photos.begin(), acc.photos.end(),
                                     [number](const StoredPhoto &p) { return p.number == number; });
        if (it == acc.photos.end())
            return std::nullopt;
        path = it->path;
    }
    return readWhole(path);
}

PhotoStore::AlbumResult PhotoStore::createAlbum(std::string_view email, const std::string &name) {
    Account &acc = account(email);
    std::lock_guard lock(acc.mutex);
    std::string error;
    if (!load(acc, &error))
        return AlbumResult::Failed;
    if (std::find(acc.albums.begin(), acc.albums.end(), name) != acc.albums.end())
        return AlbumResult::Exists;
    const std::string line =
        "{\"name\":" + jsonString(name) + ",\"time\":" + jsonString(utcTimestamp()) + "}";
    if (!appendLine(acc.dir / kAlbums, line))
        return AlbumResult::Failed;
    acc.albums.push_back(name);
    return AlbumResult::Created;
}

std::vector<std::string> PhotoStore::albums(std::string_view email) {
    Account &acc = account(email);
    std::lock_guard lock(acc.mutex);
    std::string error;
    if (!acc.loaded && !fs::exists(acc.dir))
        return {};
    load(acc, &error);
    return acc.albums;
}

} // namespace nubelo::site
