#include "testing/temp_dir.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "nuvra-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may leave read-only folders behind; make them writable so the removal succeeds.
    for (auto it = fs::recursive_directory_iterator(dir, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir, ignored);
}

namespace {

constexpr unsigned int overrideCapabilities =
    (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);

// Capabilities belong to a thread, and only the effective set changes here: the permitted set
// keeps them, so they can be taken back afterwards. glibc has no wrapper for these calls.
bool capabilities(bool set, __user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(set ? SYS_capset : SYS_capget, &header, data) == 0;
}

}  // namespace

WithoutPermissionOverride::WithoutPermissionOverride() {
    __user_cap_data_struct data[2]{};
    if (!capabilities(false, data)) {
        ADD_FAILURE() << "capget failed";
        return;
    }
    savedEffective = data[0].effective;
    data[0].effective &= ~overrideCapabilities;
    if (!capabilities(true, data)) ADD_FAILURE() << "capset failed";
}

WithoutPermissionOverride::~WithoutPermissionOverride() {
    __user_cap_data_struct data[2]{};
    if (!capabilities(false, data)) return;
    data[0].effective = savedEffective;
    capabilities(true, data);
}
