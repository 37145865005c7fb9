#pragma once
// Where the parts of received messages may be written, and how they are written.

#include "platform/files.h"
#include "rtl/file_io.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zanpost {

// The name a received part may be stored under (platform::storable_file_name): its final
// component, without trailing dots and blanks; nothing for a name that cannot be a plain
// file of Cesta on every platform - such a part cannot be stored.
std::optional<std::string> StorableName(std::string_view name);

// True when both paths name the same file as far as their text tells (letter case ignored,
// as on the program's home platform).
bool SamePath(const std::string& a, const std::string& b);

// A file that arrives in pieces: written under a short temporary name in the directory of
// `path` (it fits wherever the final name fits, however long that is), then flushed and
// renamed into place, so a reader never sees a half-written file and an old file is
// replaced only by a whole new one. Destroyed before Commit, the temporary file is removed.
// The temporary file is marked as being made until then (platform::FileBeingMade), so that
// only one whose run was killed is ever taken for a leftover (RemoveLeftoverTemporaries).
class IncomingFile {
public:
    // Creates the temporary file; raises EFCreateError.
    explicit IncomingFile(std::string path);
    IncomingFile(IncomingFile&& other) noexcept;
    IncomingFile& operator=(IncomingFile&&) noexcept;
    ~IncomingFile();

    const std::string& Path() const noexcept { return path_; }
    // False once anything failed; later writes are not attempted.
    bool Write(std::string_view bytes) noexcept;
    // The bytes written so far (after a rewind, up to the place rewound to).
    long long Length() const noexcept;
    // A place to come back to: what is written after it can be taken back.
    OutputFile::Mark Mark() noexcept;
    bool RewindTo(const OutputFile::Mark& mark) noexcept;
    // Closes the file, cuts what a rewind left behind and puts the content on the disk;
    // false when anything of it failed. Nothing more may be written.
    bool Finish() noexcept;
    // Finish, then the rename into place; when it returns, the file and its name are on the
    // disk. Raises EFCreateError; the temporary file is removed.
    void Commit();
    // Removes the temporary file; nothing is stored.
    void Discard() noexcept;

private:
    std::string path_;
    std::string temporary_;
    std::optional<platform::FileBeingMade> mark_;  // held until the temporary file is renamed or removed
    std::unique_ptr<OutputFile> file_;  // open until Finish
    bool finished_ = false;
    bool ok_ = true;
};

// Writes the bytes under a short temporary name in the directory of `path` (it fits
// wherever the final name fits, however long that is) and renames it into place, so a
// reader never sees a half-written file and an old file is replaced only by a whole new
// one. When it returns, the file and its name are on the disk: the caller may now let the
// server delete the original. Raises EFCreateError; the temporary file is removed.
void WriteFileWhole(const std::string& path, std::string_view bytes);

// Removes the temporary files of IncomingFiles whose run was killed before it could remove
// them, in the directory of each path (where IncomingFile(path) makes its temporary file: a
// path that ends in a separator, as Cesta does, names its own directory; "" the current
// one). Only files of that form of name whose mark no one holds any more are taken, so
// neither a file of a run still going nor any other file is. Returns the paths removed.
// To be called before the run makes files of its own: where locks are emulated by record
// locks (NFS), a process does not see its own.
std::vector<std::string> RemoveLeftoverTemporaries(const std::vector<std::string>& beside);

}  // namespace zanpost
