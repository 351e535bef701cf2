// The main window's web view on a real display: a download the page aborts stops its task in the
// scheme handler (it used to be served to the end).

#include "app/main_window_controller.h"

#include <fcntl.h>
#include <unistd.h>

#include "bridge/marlune_scheme_handler.h"
#include "bridge/web_bridge.h"
#include "desktop_test.h"

namespace marlune {
namespace {

namespace fs = std::filesystem;
using test::runMainUntil;
using test::writeFile;
using MainWindowTest = test::DesktopTest;

TEST_F(MainWindowTest, AbortedDownloadsStopTheirTasks) {
    const fs::path root = home / "web";
    // Far larger than could be read in the time allowed: only a stop ends its task quickly.
    fs::create_directories(root);
    int fd = ::open((root / "huge.bin").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(4) << 30), 0);
    ::close(fd);
    writeFile(root / "small.txt", "still served");
    fs::copy_file(test::dataFile("abort_download.html"), root / "index.html");
    auto handler = std::make_shared<MarluneSchemeHandler>(MarluneSchemeHandler::Locations{
        .webRoot = [&]() -> std::optional<fs::path> { return root; },
        .mediaFolder = [&] { return home / "media"; },
    });
    auto bridge = std::make_shared<WebBridge>();
    std::optional<Json> report;
    bridge->registerHandler("test.report", [&](const Json& payload, WebBridge::Reply r) {
        report = payload;
        r(Json::object());
    });
    MainWindowController controller(bridge, handler);
    bridge->setWebView(controller.page());
    ASSERT_TRUE(runMainUntil([&] { return report.has_value(); }, std::chrono::seconds(30)));
    EXPECT_FALSE(report->contains("error")) << report->dump();
    EXPECT_EQ((*report)["status"], 200);
    EXPECT_EQ((*report)["length"], "4294967296");
    EXPECT_GT((*report)["first"].get<int>(), 0);
    EXPECT_EQ((*report)["aborted"], "AbortError");
    EXPECT_EQ((*report)["after"], "still served");
    EXPECT_TRUE(
        runMainUntil([&] { return handler->pendingTaskCount() == 0; }, std::chrono::seconds(10)))
        << "the aborted download's task is still being served";
}

}  // namespace
}  // namespace marlune
