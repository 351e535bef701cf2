#include "render/export/output_naming.h"

#include <fcntl.h>
#include <unistd.h>

#include "core/folder_file.h"

namespace marlune {

std::string exportName(const std::string& stem, int n) {
    return stem + (n == 1 ? " export" : " export " + std::to_string(n)) + ".mp4";
}

std::string intendedExportName(const FolderFile& folder, const std::string& stem) {
    std::string intended;
    for (int n = 1; n < 10000; ++n) {
        intended = exportName(stem, n);
        if (::faccessat(folder.fd(), intended.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) != 0) break;
    }
    return intended;
}

}  // namespace marlune
