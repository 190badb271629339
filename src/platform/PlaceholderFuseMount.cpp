#include "platform/PlaceholderFuseMount.h"

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/PasteTargetFinder.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

PlaceholderFuseMount* Self() {
    return static_cast<PlaceholderFuseMount*>(fuse_get_context()->private_data);
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info*) {
    std::memset(st, 0, sizeof(*st));
    st->st_uid = ::getuid();
    st->st_gid = ::getgid();
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0700;
        st->st_nlink = 2;
        return 0;
    }
    if (Self()->IsFile(path)) {
        st->st_mode = S_IFREG | 0400;
        st->st_nlink = 1;
        st->st_size = static_cast<off_t>(Self()->FileSize());
        return 0;
    }
    return -ENOENT;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buf, Self()->FileName().c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int Open(const char* path, struct fuse_file_info* fi) {
    if (!Self()->IsFile(path)) {
        return -ENOENT;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        return -EACCES;
    }
    // Every read comes here: the answer depends on who reads and when.
    fi->direct_io = 1;
    fi->keep_cache = 0;
    fi->fh = Self()->OpenHandle();
    return 0;
}

int Read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    if (!Self()->IsFile(path)) {
        return -ENOENT;
    }
    return static_cast<int>(Self()->ReadFile(fi->fh, buf, size, offset, fuse_get_context()->pid));
}

int Release(const char*, struct fuse_file_info* fi) {
    Self()->ReleaseHandle(fi->fh);
    return 0;
}

}  // namespace

PlaceholderFuseMount::PlaceholderFuseMount(PlaceholderReadRule& rule, std::string fileName,
                                           PasteHandler onPaste, NoTargetHandler onNoTarget)
    : m_rule(rule),
      m_fileName(std::move(fileName)),
      m_onPaste(std::move(onPaste)),
      m_onNoTarget(std::move(onNoTarget)) {}

PlaceholderFuseMount::~PlaceholderFuseMount() { Unmount(); }

bool PlaceholderFuseMount::IsFile(const char* path) const {
    return path[0] == '/' && m_fileName == path + 1;
}

size_t PlaceholderFuseMount::ReadFile(uint64_t handle, char* buffer, size_t size, off_t offset,
                                      pid_t reader) {
    fs::path target;
    const bool own = reader == ::getpid();
    bool looked = false;
    auto findTarget = [&] {
        if (own) {
            return false;  // our own look at it is never a paste
        }
        looked = true;
        auto found = PasteTargetFinder::FindTarget(reader, m_fileName, m_folder);
        if (found) {
            target = *found;
        }
        return found.has_value();
    };
    const auto answer = m_rule.Read(handle, offset < 0 ? 0 : static_cast<uint64_t>(offset), size,
                                    findTarget);
    if (answer.length > 0) {
        std::memcpy(buffer, m_rule.Content().data() + answer.offset, answer.length);
    }
    if (answer.paste && m_onPaste) {
        m_onPaste(target);
    } else if (looked && !answer.paste && m_onNoTarget) {
        m_onNoTarget(reader);
    }
    return answer.length;
}

bool PlaceholderFuseMount::Mount(const fs::path& folder, std::string* error) {
    if (m_fuse) {
        return true;
    }
    m_folder = folder;
    static const fuse_operations kOperations = [] {
        fuse_operations ops{};
        ops.getattr = GetAttr;
        ops.readdir = ReadDir;
        ops.open = Open;
        ops.read = Read;
        ops.release = Release;
        return ops;
    }();
    // auto_unmount: the kernel's mount goes with the process, even after kill -9.
    std::vector<std::string> words = {"zorp", "-o", "fsname=zorp-clipboard,subtype=zorp,auto_unmount"};
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    m_fuse = fuse_new(&args, &kOperations, sizeof(kOperations), this);
    fuse_opt_free_args(&args);
    if (!m_fuse) {
        *error = "the FUSE session could not be made";
        return false;
    }
    if (fuse_mount(m_fuse, folder.c_str()) != 0) {
        fuse_destroy(m_fuse);
        m_fuse = nullptr;
        *error = "mounting on " + folder.string() + " failed (no /dev/fuse, or not allowed)";
        return false;
    }
    m_thread = std::thread([fuse = m_fuse] { fuse_loop(fuse); });
    return true;
}

void PlaceholderFuseMount::Unmount() {
    if (!m_fuse) {
        return;
    }
    fuse_exit(m_fuse);
    // Unmounting ends the kernel's session, which wakes the loop from its read.
    fuse_unmount(m_fuse);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    fuse_destroy(m_fuse);
    m_fuse = nullptr;
}

bool PlaceholderFuseMount::ClearStaleMount(const fs::path& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 || errno != ENOTCONN) {
        return true;  // nothing stale there
    }
    if (::umount2(folder.c_str(), MNT_DETACH) == 0) {
        return true;
    }
    // Not privileged: the helper that mounted it takes it off.
    for (const char* helper : {"/usr/bin/fusermount3", "/bin/fusermount3"}) {
        if (::access(helper, X_OK) == 0) {
            ChildProcess child;
            if (child.Start({helper, "-u", "-z", folder.string()})) {
                child.Wait(5000);
            }
            break;
        }
    }
    return ::stat(folder.c_str(), &st) == 0;
}

}  // namespace platform
