#pragma once

// Photos and albums of every account, kept under one data folder. Standard library only.
//
// DIR/<account>/photo-000001.png ...  the photos, by running number
// DIR/<account>/index.jsonl           one JSON line per photo: number, file, size, sha256, time
// DIR/<account>/albums.jsonl          one JSON line per album: name, time
//
// A photo is written to a temporary file, flushed to disk and renamed, so a crash never leaves
// half a photo under a real name; a photo whose index line was lost is indexed again on load.
// The folders are 0700 and the files the store writes 0600: photos are served through the site.

#include "NubeloSite.h"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nubelo::site {

class PhotoStore {
public:
    explicit PhotoStore(std::filesystem::path root);

    // Creates the data folder when missing. False with a reason when it cannot be used.
    bool open(std::string *error);

    // The folder name for an account: the e-mail in lower case, every byte other than letters,
    // digits and "@._+-" written as %XX, a leading dot too; a hash for a very long address.
    static std::string folderName(std::string_view email);

    struct Stored {
        std::optional<StoredPhoto> photo; // nullopt when nothing was stored
        std::string error;
    };
    Stored store(std::string_view email, std::string_view bytes);

    std::vector<StoredPhoto> photos(std::string_view email);
    std::optional<std::string> readPhoto(std::string_view email, std::uint64_t number);

    enum class AlbumResult { Created, Exists, Failed };
    AlbumResult createAlbum(std::string_view email, const std::string &name);
    std::vector<std::string> albums(std::string_view email);

private:
    struct Account {
        std::mutex mutex;
        bool loaded = false;
        std::filesystem::path dir;
        std::uint64_t next = 1;
        std::vector<StoredPhoto> photos;
        std::vector<std::string> albums;
    };
    Account &account(std::string_view email);        // created on first use, not yet loaded
    bool load(Account &account, std::string *error); // with account.mutex held

    std::filesystem::path mRoot;
    std::mutex mMutex; // guards mAccounts (the map, not the accounts)
    std::map<std::string, std::unique_ptr<Account>> mAccounts;
};

} // namespace nubelo::site
