#include "output_set.h"

#include "host.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char PRIVATE_PREFIX[] = "skarnovelt-run-";
const char LOCK_NAME[] = "lock";

// The folder part of a path with its separator, and the name after it.
#ifdef _WIN32
const char SEPARATORS[] = "\\/:";
#else
const char SEPARATORS[] = "/";
#endif

std::string folder_of(const std::string &path)
{
    const size_t slash = path.find_last_of(SEPARATORS);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

#ifndef _WIN32
std::string name_of(const std::string &path)
{
    const size_t slash = path.find_last_of(SEPARATORS);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
#endif

std::string reason(const std::string &what) { return what + ": " + std::strerror(errno); }

bool same_name(const std::string &a, const std::string &b) { return a == b || same_file(a, b); }

// The folder of a target: it exists and can be written to.
bool check_folder(const std::string &target, std::string *error)
{
    if (target.empty() || target.back() == '/') {
        *error = "'" + target + "' is not a file name for an output";
        return false;
    }
    const std::string folder = folder_of(target);
    const std::string shown = folder.empty() ? "." : folder;
    std::error_code ec;
    if (!std::filesystem::is_directory(shown, ec)) {
        *error = target + ": cannot be written: its folder " + shown + " does not exist";
        return false;
    }
#ifndef _WIN32
    if (access(shown.c_str(), W_OK | X_OK) != 0) {
        *error = target + ": cannot be written: its folder " + shown + " is not writable";
        return false;
    }
#endif
    return true;
}

// The checks of a target before anything is written.
bool check_target(const OutputSet &set, const std::string &target, std::string *error)
{
    if (!check_folder(target, error))
        return false;
    std::error_code ec;
    if (std::filesystem::is_directory(target, ec)) {
        *error = target + " is a folder, not a file to write";
        return false;
    }
    for (const std::string &input : set.inputs)
        if (!input.empty() && same_name(target, input)) {
            *error = target + " would replace the input " + input + ": choose another name";
            return false;
        }
    for (const StagedOutput &out : set.outputs)
        if (same_name(out.target, target)) {
            *error = target + " is named for two outputs of the run";
            return false;
        }
    return true;
}

} // namespace

#ifndef _WIN32

namespace {

// Removes what a private folder holds (regular files only, never through a
// link), then the folder.
void remove_private_folder(const std::string &path)
{
    if (DIR *dir = opendir(path.c_str())) {
        while (struct dirent *entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            unlinkat(dirfd(dir), entry->d_name, 0);
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

// The private folders that killed runs left in a folder: this user's, not
// a link, and their lock file free (a live run holds it) or missing.
void remove_stale_private_folders(const std::string &folder)
{
    DIR *dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> stale;
    while (struct dirent *entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, PRIVATE_PREFIX, sizeof PRIVATE_PREFIX - 1) != 0)
            continue;
        const std::string path = folder + entry->d_name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
            continue;
        const std::string lock = path + "/" + LOCK_NAME;
        const int fd = open(lock.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT)
                stale.push_back(path);
            continue;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            stale.push_back(path);
        close(fd);
    }
    closedir(dir);
    for (const std::string &path : stale)
        remove_private_folder(path);
}

// The private folder of the run in a target folder, made on first use.
PrivateFolder *private_folder(OutputSet *set, const std::string &folder, std::string *error)
{
    for (PrivateFolder &p : set->folders)
        if (p.folder == folder)
            return &p;
    remove_stale_private_folders(folder);
    std::string pattern = folder + PRIVATE_PREFIX + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) { // mode 0700
        *error = reason("cannot create a private folder for the outputs in " + (folder.empty() ? "." : folder));
        return nullptr;
    }
    PrivateFolder p;
    p.folder = folder;
    p.path = name.data();
    p.lock = p.path + "/" + LOCK_NAME;
    register_temp_folder(p.path);
    p.lock_fd = open(p.lock.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (p.lock_fd < 0 || flock(p.lock_fd, LOCK_EX | LOCK_NB) != 0) {
        *error = reason("cannot lock the private folder " + p.path);
        if (p.lock_fd >= 0)
            close(p.lock_fd);
        remove_private_folder(p.path);
        forget_temp_folder(p.path);
        return nullptr;
    }
    register_temp_file(p.lock);
    set->folders.push_back(p);
    return &set->folders.back();
}




void release_base_lock(OutputSet *set)
{
    if (set->base_lock_fd < 0)
        return;
    unlink(set->base_lock.c_str()); // while still held: a waiting run sees a new file
    close(set->base_lock_fd);
    forget_temp_file(set->base_lock);
    set->base_lock_fd = -1;
}

void remove_folders(OutputSet *set)
{
    for (PrivateFolder &p : set->folders) {
        for (const StagedOutput &out : set->outputs)
            if (!out.staged.empty() && folder_of(out.staged) == p.path + "/")
                forget_temp_file(out.staged);
        forget_temp_file(p.lock);
        for (const std::string &path : set->scratch)
            forget_temp_file(path);
        remove_private_folder(p.path);
        if (p.lock_fd >= 0)
            close(p.lock_fd);
        forget_temp_folder(p.path);
    }
    set->folders.clear();
    set->outputs.clear();
    set->scratch.clear();
}

bool sync_file(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

void sync_folder(const std::string &folder)
{
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

} // namespace

bool begin_outputs(const std::string &base, const std::vector<std::string> &inputs, OutputSet *set,
                   std::string *error)
{
    set->inputs = inputs;
    if (!check_folder(base, error))
        return false;
    const std::string lock = folder_of(base) + "." + name_of(base) + ".skarnovelt-lock";
    for (int attempt = 0; attempt < 10; attempt++) {
        const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0) {
            *error = reason("cannot create the lock " + lock + " of the outputs " + base);
            return false;
        }
        struct stat held, named;
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            close(fd);
            *error = "the lock " + lock + " of the outputs " + base + " is not a regular file";
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            *error = "another run is writing the outputs " + base + " now (it holds " + lock +
                     "): wait for it to end, or choose another name";
            return false;
        }
        // The name may have been released and made anew meanwhile: the lock
        // counts only on the file the name leads to now.
        if (lstat(lock.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            set->base_lock = lock;
            set->base_lock_fd = fd;
            register_temp_file(lock);
            return true;
        }
        close(fd);
    }
    *error = "the lock " + lock + " of the outputs " + base + " keeps changing: another run is writing them";
    return false;
}

bool stage_output(OutputSet *set, const std::string &target, std::string *staged, std::string *error)
{
    if (!check_target(*set, target, error))
        return false;
    PrivateFolder *p = private_folder(set, folder_of(target), error);
    if (p == nullptr)
        return false;
    StagedOutput out;
    out.target = target;
    out.staged = p->path + "/" + name_of(target);
    const int fd = open(out.staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = reason(target + ": cannot create its file in " + p->path);
        if (fd >= 0)
            close(fd);
        return false;
    }
    close(fd);
    register_temp_file(out.staged);
    out.device = st.st_dev;
    out.inode = st.st_ino;
    set->outputs.push_back(out);
    *staged = out.staged;
    return true;
}




bool stage_scratch(OutputSet *set, const std::string &near, const std::string &name, std::string *path,
                   std::string *error)
{
    PrivateFolder *p = private_folder(set, folder_of(near), error);
    if (p == nullptr)
        return false;
    *path = p->path + "/" + name;
    const int fd = open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = reason("cannot create the working file " + *path);
        return false;
    }
    close(fd);
    register_temp_file(*path);
    set->scratch.push_back(*path);
    return true;
}

bool commit_outputs(OutputSet *set, std::string *error)
{
    // Complete on disk, and each still the file the run created.
    for (const StagedOutput &out : set->outputs) {
        struct stat st;
        if (lstat(out.staged.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<unsigned long long>(st.st_dev) != out.device ||
            static_cast<unsigned long long>(st.st_ino) != out.inode) {
            *error = out.target + ": its staged file " + out.staged +
                     " is no longer the file this run wrote: nothing was replaced";
            abandon_outputs(set);
            return false;
        }
        if (!sync_file(out.staged)) {
            *error = reason("cannot put " + out.target + " on disk");
            abandon_outputs(set);
            return false;
        }
    }
    // Every target that exists is kept under a second name in the private
    // folder until all are in place, so that a failed rename can put the
    // earlier set back.
    std::vector<std::string> backups(set->outputs.size());
    for (size_t k = 0; k < set->outputs.size(); k++) {
        const StagedOutput &out = set->outputs[k];
        struct stat st;
        if (lstat(out.target.c_str(), &st) == 0) {
            backups[k] = out.staged + ".earlier";
            if (link(out.target.c_str(), backups[k].c_str()) == 0)
                register_temp_file(backups[k]); // an interruption removes it with the folder
            else
                backups[k].clear(); // no hard links here: that target cannot be put back
        }
    }
    hold_signals();
    size_t done = 0;
    std::string failure;
    for (; done < set->outputs.size(); done++) {
        const StagedOutput &out = set->outputs[done];
        if (std::rename(out.staged.c_str(), out.target.c_str()) != 0) {
            failure = reason("cannot replace " + out.target);
            break;
        }
    }
    if (!failure.empty())
        for (size_t k = done; k-- > 0;) {
            const StagedOutput &out = set->outputs[k];
            if (!backups[k].empty())
                std::rename(backups[k].c_str(), out.target.c_str());
            else
                unlink(out.target.c_str());
        }
    // In place: no longer temporary files of the run.
    for (size_t k = 0; k < done && failure.empty(); k++)
        forget_temp_file(set->outputs[k].staged);
    release_signals();
    for (const std::string &backup : backups)
        if (!backup.empty())
            discard_temp_file(backup);
    for (const PrivateFolder &p : set->folders)
        sync_folder(p.folder);
    remove_folders(set);
    release_base_lock(set);
    if (!failure.empty()) {
        *error = failure + (done > 0 ? " (the outputs already replaced were put back)" : "");
        return false;
    }
    return true;
}

void abandon_outputs(OutputSet *set)
{
    remove_folders(set);
    release_base_lock(set);
}

#else

// Windows: no private folder or lock; each output is a temporary file of
// the host beside its target (created exclusively and held open so that
// nobody deletes or renames it), and all are renamed together with the
// console signals held.

bool begin_outputs(const std::string &base, const std::vector<std::string> &inputs, OutputSet *set,
                   std::string *error)
{
    set->inputs = inputs;
    return check_folder(base, error);
}

bool stage_output(OutputSet *set, const std::string &target, std::string *staged, std::string *error)
{
    if (!check_target(*set, target, error))
        return false;
    FILE *f = create_temp_file(target, "wb", staged);
    if (f == nullptr) {
        *error = reason(target + ": cannot create a file beside it");
        return false;
    }
    std::fclose(f);
    StagedOutput out;
    out.target = target;
    out.staged = *staged;
    set->outputs.push_back(out);
    return true;
}

bool stage_scratch(OutputSet *set, const std::string &near, const std::string &, std::string *path,
                   std::string *error)
{
    FILE *f = create_temp_file(near, "wb", path);
    if (f == nullptr) {
        *error = reason("cannot create a working file beside " + near);
        return false;
    }
    std::fclose(f);
    set->scratch.push_back(*path);
    return true;
}

bool commit_outputs(OutputSet *set, std::string *error)
{
    std::string failure;
    hold_signals();
    for (const StagedOutput &out : set->outputs) {
        if (!replace_file(out.staged, out.target)) {
            failure = reason("cannot replace " + out.target);
            break;
        }
        forget_temp_file(out.staged);
    }
    release_signals();
    abandon_outputs(set);
    if (!failure.empty())
        *error = failure;
    return failure.empty();
}

void abandon_outputs(OutputSet *set)
{
    for (const StagedOutput &out : set->outputs)
        discard_temp_file(out.staged);
    for (const std::string &path : set->scratch)
        discard_temp_file(path);
    set->outputs.clear();
    set->scratch.clear();
}

#endif

void drop_output(OutputSet *set, const std::string &target)
{
    for (size_t k = 0; k < set->outputs.size(); k++)
        if (set->outputs[k].target == target) {
            discard_temp_file(set->outputs[k].staged);
            set->outputs.erase(set->outputs.begin() + static_cast<long>(k));
            return;
        }
}

std::string staged_path(const OutputSet &set, const std::string &target)
{
    for (const StagedOutput &out : set.outputs)
        if (out.target == target)
            return out.staged;
    return std::string();
}

bool write_staged_text(const OutputSet &set, const std::string &target, const std::string &text, std::string *error)
{
    const std::string staged = staged_path(set, target);
    if (staged.empty()) {
        *error = target + ": not an output of this run";
        return false;
    }
    FILE *f = std::fopen(staged.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f != nullptr && std::fclose(f) != 0)
        ok = false;
    if (!ok)
        *error = reason("cannot write " + target);
    return ok;
}

OutputSet::~OutputSet() { abandon_outputs(this); }
