#include "render/export/output_naming.h"

#include <fcntl.h>
#include <unistd.h>

#include "core/folder_file.h"

namespace marlune {

std::string exportName(const std::string& stem, int n, const std::string& extension) {
    return stem + (n == 1 ? " export" : " export " + std::to_string(n)) + extension;
}

std::string intendedExportName(const FolderFile& folder, const std::string& stem,
                               const std::string& extension) {
    std::string intended;
    for (int n = 1; n < 10000; ++n) {
        intended = exportName(stem, n, extension);
        if (::faccessat(folder.fd(), intended.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) != 0) break;
    }
    return intended;
}

}  // namespace marlune
