// The application on a real X server (run under xvfb-run): its window is shown from the status menu
// and captured from the server.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Vorellin/tests/AppShellTest.h"
#include "platform/appkit/View.h"
#include "platform/appkit/Window.h"

namespace vorellin::testing {
namespace {

class AppScreen : public AppShellTest {
 protected:
  bool offscreen() const override { return false; }
};

TEST_F(AppScreen, WindowShownFromTheStatusMenuOnTheXServer) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under xvfb-run";
  registerService();
  launch();
  ASSERT_NE(delegate, nullptr);
  EXPECT_EQ(platform::appkit::Application::platformName(), "xcb");
  auto window = initial->window();
  EXPECT_FALSE(window->isVisible());
  EXPECT_TRUE(delegate->statusItem->isInSystemTray());  // a tray icon, or the status button without one
  ASSERT_TRUE(delegate->statusItem->menu()->itemWithTitle("Show Vorellin")->performAction());
  ASSERT_TRUE(runUntil([&] { return window->isVisible(); }));
  EXPECT_TRUE(window->isKeyWindow());

  const std::string path = screenshotPath("xvfb-main-window");
  std::filesystem::remove(path);
  ASSERT_TRUE(window->saveScreenshot(path));
  auto shot = platform::appkit::Image::fromFile("shot", path);
  EXPECT_EQ(shot->size().width, window->frame().size.width);
  EXPECT_EQ(shot->size().height, window->frame().size.height);
  // A painted window compresses to more than a blank one would.
  EXPECT_GT(std::filesystem::file_size(path), 2000u);
}

}  // namespace
}  // namespace vorellin::testing
