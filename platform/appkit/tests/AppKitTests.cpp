// The application kit offscreen: scenes from interface files, controls and their actions, windows,
// appearance callbacks, animation groups, the main loop, the status menu's responder chain, URLs.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/appkit/AnimationContext.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/SharingService.h"
#include "platform/appkit/StatusBar.h"
#include "platform/appkit/Storyboard.h"
#include "platform/appkit/View.h"
#include "platform/appkit/ViewController.h"
#include "platform/appkit/Window.h"
#include "platform/appkit/WindowController.h"
#include "platform/appkit/Workspace.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Exception.h"

namespace platform::appkit {
namespace {

namespace fs = std::filesystem;

const char* kFormUi = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <widget class="QWidget" name="Form">
  <property name="geometry"><rect><x>0</x><y>0</y><width>320</width><height>240</height></rect></property>
  <widget class="QGroupBox" name="boxMenu">
   <property name="geometry"><rect><x>10</x><y>10</y><width>300</width><height>120</height></rect></property>
   <property name="title"><string>Menu</string></property>
   <widget class="QRadioButton" name="normalMode">
    <property name="geometry"><rect><x>10</x><y>20</y><width>140</width><height>20</height></rect></property>
    <property name="text"><string>Normal Mode</string></property>
    <property name="checked"><bool>true</bool></property>
    <property name="action" stdset="0"><string>modeSelected:</string></property>
   </widget>
   <widget class="QRadioButton" name="extremeMode">
    <property name="geometry"><rect><x>10</x><y>45</y><width>140</width><height>20</height></rect></property>
    <property name="text"><string>Extreme Mode</string></property>
    <property name="action" stdset="0"><string>modeSelected:</string></property>
   </widget>
   <widget class="QCheckBox" name="pinProtectMode">
    <property name="geometry"><rect><x>160</x><y>20</y><width>130</width><height>20</height></rect></property>
    <property name="text"><string>PIN</string></property>
    <property name="action" stdset="0"><string>pinClick:</string></property>
   </widget>
  </widget>
  <widget class="QPushButton" name="btnVRL">
   <property name="geometry"><rect><x>10</x><y>140</y><width>60</width><height>60</height></rect></property>
   <property name="image" stdset="0"><string>dot</string></property>
   <property name="action" stdset="0"><string>btnVRL:</string></property>
  </widget>
  <widget class="QPushButton" name="btnOff">
   <property name="geometry"><rect><x>80</x><y>140</y><width>60</width><height>30</height></rect></property>
   <property name="text"><string>Off</string></property>
   <property name="enabled"><bool>false</bool></property>
   <property name="action" stdset="0"><string>btnVRL:</string></property>
  </widget>
  <widget class="QLineEdit" name="inputEmail">
   <property name="geometry"><rect><x>150</x><y>140</y><width>160</width><height>24</height></rect></property>
   <property name="placeholderText"><string>E-mail</string></property>
  </widget>
  <widget class="QLineEdit" name="inputPassword">
   <property name="geometry"><rect><x>150</x><y>170</y><width>160</width><height>24</height></rect></property>
   <property name="echoMode"><enum>QLineEdit::Password</enum></property>
  </widget>
  <widget class="QLabel" name="imgActive">
   <property name="geometry"><rect><x>10</x><y>205</y><width>30</width><height>30</height></rect></property>
   <property name="pixmap"><pixmap>dot</pixmap></property>
  </widget>
  <widget class="QLabel" name="secs">
   <property name="geometry"><rect><x>50</x><y>205</y><width>200</width><height>30</height></rect></property>
   <property name="text"><string>Counting</string></property>
   <property name="visible"><bool>false</bool></property>
  </widget>
 </widget>
</ui>
)";

const char* kStoryboard = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
 <key>InitialController</key><string>Window</string>
 <key>Scenes</key><dict>
  <key>Window</key><dict>
   <key>Kind</key><string>window</string>
   <key>Title</key><string>Test</string>
   <key>X</key><integer>100</integer><key>Y</key><integer>50</integer>
   <key>Width</key><integer>320</integer><key>Height</key><integer>240</integer>
   <key>StyleMask</key><integer>3</integer>
   <key>Content</key><string>Form</string>
  </dict>
  <key>Form</key><dict>
   <key>Kind</key><string>view</string><key>Class</key><string>FormController</string>
   <key>Interface</key><string>Form.ui</string>
  </dict>
  <key>Plain</key><dict><key>Kind</key><string>view</string></dict>
 </dict>
</dict></plist>
)";

// Records what its actions see: the sender's state at the moment the action runs.
class FormController : public ViewController {
 public:
  FormController() {
    registerAction("modeSelected:", [this](Object* sender) {
      auto* b = dynamic_cast<Button*>(sender);
      actions.push_back("modeSelected: " + b->title() + " " + std::to_string(b->state()));
    });
    registerAction("pinClick:", [this](Object* sender) {
      actions.push_back("pinClick: " + std::to_string(dynamic_cast<Button*>(sender)->state()));
    });
    registerAction("btnVRL:", [this](Object*) { actions.push_back("btnVRL:"); });
  }
  std::string className() const override { return "FormController"; }
  void viewDidLoad() override { events.push_back("viewDidLoad"); }
  void viewWillAppear() override { events.push_back("viewWillAppear"); }
  void viewDidAppear() override { events.push_back("viewDidAppear"); }
  void viewWillDisappear() override { events.push_back("viewWillDisappear"); }
  void viewDidDisappear() override { events.push_back("viewDidDisappear"); }
  std::vector<std::string> actions, events;
};

class AppKitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    char pattern[] = "/tmp/vorellin-appkit-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    fs::create_directories(dir_ + "/Form.storyboard");
    std::ofstream(dir_ + "/Form.storyboard/Form.ui") << kFormUi;
    std::ofstream(dir_ + "/Form.storyboard/Storyboard.plist") << kStoryboard;
    // A picture for the named image "dot": a window's own rendering.
    auto painter = Window::make(Rect(0, 0, 16, 16));
    painter->saveScreenshot(dir_ + "/dot.png");
    painter->close();
    Bundle::setMainBundleForTesting(Bundle::atPath(dir_));
    Storyboard::registerViewController<FormController>("FormController");
    AnimationContext::setInstantAnimationsForTesting(true);
  }
  void TearDown() override {
    Application::shared().resetForTesting();
    Bundle::setMainBundleForTesting(nullptr);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string dir_;
};

TEST_F(AppKitTest, SceneControlsSendTheirActionsToTheSceneControllerAfterFlippingTheirState) {
  auto storyboard = Storyboard::storyboardWithName("Form");
  auto form = storyboard->instantiateController<FormController>("Form");
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->identifier(), "Form");
  EXPECT_FALSE(form->isViewLoaded());
  auto box = form->outlet<Box>("boxMenu");
  EXPECT_EQ(form->events, std::vector<std::string>{"viewDidLoad"});
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->title(), "Menu");
  auto normal = form->outlet<Button>("normalMode");
  auto extreme = form->outlet<Button>("extremeMode");
  auto pin = form->outlet<Button>("pinProtectMode");
  auto vrl = form->outlet<Button>("btnVRL");
  auto off = form->outlet<Button>("btnOff");
  ASSERT_TRUE(normal && extreme && pin && vrl && off);
  EXPECT_EQ(normal->buttonType(), ButtonType::Radio);
  EXPECT_EQ(pin->buttonType(), ButtonType::Switch);
  EXPECT_EQ(vrl->buttonType(), ButtonType::MomentaryPushIn);
  EXPECT_EQ(normal->state(), ControlStateOn);
  EXPECT_EQ(extreme->state(), ControlStateOff);

  extreme->performClick();
  pin->performClick();
  pin->performClick();
  vrl->performClick();
  off->performClick();  // disabled: nothing is sent
  EXPECT_EQ(form->actions, (std::vector<std::string>{"modeSelected: Extreme Mode 1", "pinClick: 1", "pinClick: 0",
                                                     "btnVRL:"}));
  EXPECT_EQ(normal->state(), ControlStateOff);  // radio buttons of one box exclude each other
  off->setEnabled(true);
  off->performClick();
  EXPECT_EQ(form->actions.back(), "btnVRL:");
  EXPECT_EQ(form->actions.size(), 5u);

  // Fields, secure fields, labels, images.
  auto email = form->outlet<TextField>("inputEmail");
  auto password = form->outlet<SecureTextField>("inputPassword");
  ASSERT_TRUE(email && password);
  EXPECT_EQ(form->outlet<SecureTextField>("inputEmail"), nullptr);
  EXPECT_EQ(email->placeholderString(), "E-mail");
  email->setStringValue("user@vorellin.test");
  password->setStringValue("sécret");
  EXPECT_EQ(email->stringValue(), "user@vorellin.test");
  EXPECT_EQ(password->stringValue(), "sécret");
  EXPECT_EQ(password->className(), "NSSecureTextField");
  auto image = form->outlet<ImageView>("imgActive");
  ASSERT_NE(image, nullptr);
  ASSERT_NE(image->image(), nullptr);
  EXPECT_EQ(image->image()->name(), "dot");
  EXPECT_EQ(image->image()->size().width, 16);
  ASSERT_NE(vrl->image(), nullptr);
  EXPECT_EQ(vrl->image(), Image::named("dot"));
  EXPECT_EQ(Image::named("no such picture"), nullptr);
  image->setImage(nullptr);
  EXPECT_EQ(image->image(), nullptr);
  auto secs = form->outlet<TextField>("secs");
  ASSERT_NE(secs, nullptr);
  EXPECT_TRUE(secs->isHidden());
  EXPECT_FALSE(secs->isEditable());
  secs->setStringValue("Automatically turning off in 19 secs\u2026");
  EXPECT_EQ(secs->stringValue(), "Automatically turning off in 19 secs\u2026");
  vrl->setAttributedTitle(AttributedString{"Log in", Color::black(), TextAlignment::Center});
  EXPECT_EQ(vrl->title(), "Log in");
  EXPECT_EQ(vrl->attributedTitle().foregroundColor, Color::black());

  // Faults of the storyboard are raised.
  EXPECT_THROW(storyboard->instantiateControllerWithIdentifier("Missing"), Exception);
  EXPECT_THROW(Storyboard::storyboardWithName("Missing"), Exception);
  auto plain = storyboard->instantiateController<ViewController>("Plain");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->view()->subviews().size(), 0u);
}

TEST_F(AppKitTest, WindowsUseBottomLeftFramesAscendingNumbersAndTellTheirContentWhenItAppears) {
  auto controller = Storyboard::storyboardWithName("Form")->instantiateInitialController();
  ASSERT_NE(controller, nullptr);
  auto window = controller->window();
  auto form = std::dynamic_pointer_cast<FormController>(window->contentViewController());
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(window->title(), "Test");
  EXPECT_EQ(window->frame(), Rect(100, 50, 320, 240));
  EXPECT_EQ(window->styleMask() & WindowStyleMaskResizable, 0u);
  EXPECT_EQ(form->events, std::vector<std::string>{"viewDidLoad"});
  EXPECT_EQ(form->view()->window(), window);

  controller->showWindow(nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->isKeyWindow());
  EXPECT_EQ(form->events, (std::vector<std::string>{"viewDidLoad", "viewWillAppear", "viewDidAppear"}));

  // Grows upwards from the bottom edge; a taller window with a lower origin keeps its top edge.
  Rect f = window->frame();
  window->setFrame(Rect(f.origin.x, f.origin.y - 150, f.size.width, f.size.height + 150), true, false);
  EXPECT_EQ(window->frame(), Rect(100, -100, 320, 390));
  window->center();
  Rect centred = window->frame();
  window->setFrame(Rect(0, 0, 320, 390), true);
  EXPECT_EQ(window->frame().origin, Point({0, 0}));
  EXPECT_GT(centred.origin.x, 0);
  EXPECT_GT(centred.origin.y, 0);

  auto later = Window::make(Rect(0, 0, 50, 50));
  auto panel = Panel::make(Rect(0, 0, 50, 50));
  EXPECT_LT(window->windowNumber(), later->windowNumber());
  EXPECT_LT(later->windowNumber(), panel->windowNumber());
  EXPECT_EQ(later->className(), "NSWindow");
  EXPECT_EQ(panel->className(), "NSPanel");

  // Replacing the content of a visible window, then closing it.
  auto other = Storyboard::storyboardWithName("Form")->instantiateController<FormController>("Form");
  window->setContentViewController(other);
  EXPECT_EQ(form->events.back(), "viewDidDisappear");
  EXPECT_EQ(other->events, (std::vector<std::string>{"viewDidLoad", "viewWillAppear", "viewDidAppear"}));
  EXPECT_EQ(form->view()->window(), nullptr);
  window->performClose(nullptr);  // the plain controller lets it close
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(other->events.back(), "viewDidDisappear");
  EXPECT_EQ(Application::shared().windowWithWindowNumber(window->windowNumber()), window);
  later->close();
  EXPECT_EQ(Application::shared().windowWithWindowNumber(later->windowNumber()), nullptr);

  // A delegate that refuses keeps the window open.
  struct Refuse : WindowDelegate {
    bool windowShouldClose(Window&) override { return false; }
  } refuse;
  panel->orderFront(nullptr);
  panel->setDelegate(&refuse);
  panel->performClose(nullptr);
  EXPECT_TRUE(panel->isVisible());
  panel->setDelegate(nullptr);
}

TEST_F(AppKitTest, AnimationGroupsCompleteOnTheMainThreadAfterTheirFades) {
  auto view = View::make(Rect(0, 0, 10, 10));
  auto other = View::make(Rect(0, 0, 10, 10));
  AnimationContext::setInstantAnimationsForTesting(false);
  bool done = false;
  std::thread::id completedOn;
  double alphaAtCompletion = -1;
  AnimationContext::runAnimationGroup(
      [&](AnimationContext& context) {
        EXPECT_EQ(AnimationContext::current(), &context);
        EXPECT_EQ(context.duration(), AnimationContext::kDefaultDuration);
        context.setDuration(0.05);
        view->animator().setAlphaValue(0.0);
        other->animator().setAlphaValue(0.5);
      },
      [&] {
        done = true;
        completedOn = std::this_thread::get_id();
        alphaAtCompletion = view->alphaValue();
      });
  EXPECT_EQ(AnimationContext::current(), nullptr);
  EXPECT_FALSE(done);
  other->setAlphaValue(1.0);  // a direct change ends that fade; the group still completes
  ASSERT_TRUE(Application::shared().runUntil([&] { return done; }, std::chrono::seconds(5)));
  EXPECT_EQ(completedOn, std::this_thread::get_id());
  EXPECT_EQ(alphaAtCompletion, 0.0);
  EXPECT_EQ(other->alphaValue(), 1.0);

  // Under the test switch the change is at once; the completion still comes from the main queue.
  AnimationContext::setInstantAnimationsForTesting(true);
  done = false;
  AnimationContext::runAnimationGroup([&](AnimationContext&) { view->animator().setAlphaValue(1.0); },
                                      [&] { done = true; });
  EXPECT_EQ(view->alphaValue(), 1.0);
  EXPECT_FALSE(done);
  Application::shared().processEvents();
  EXPECT_TRUE(done);
}

TEST_F(AppKitTest, MainLoopRunsMainQueueWorkAndTimersAndMenuActionsFollowTheResponderChain) {
  std::atomic<bool> ran{false};
  std::thread([&] { dispatch::Queue::main()->async([&] { ran = dispatch::isMainThread(); }); }).join();
  int ticks = 0;
  auto timer = dispatch::Timer::scheduled(std::chrono::milliseconds(10), true, [&](dispatch::Timer&) { ++ticks; });
  ASSERT_TRUE(Application::shared().runUntil([&] { return ran.load() && ticks >= 3; }, std::chrono::seconds(10)));
  timer->invalidate();

  struct Delegate : ApplicationDelegate {
    Delegate() {
      registerAction("showAppWindow:", [this](Object* sender) { senders.push_back(sender); });
    }
    std::vector<Object*> senders;
  };
  auto delegate = std::make_shared<Delegate>();
  Application::shared().setDelegate(delegate);
  auto item = StatusBar::systemStatusBar().statusItemWithLength(StatusBar::kSquareLength);
  auto menu = std::make_shared<Menu>();
  auto show = menu->addItemWithTitle("Show", "showAppWindow:", "S");
  auto unknown = menu->addItemWithTitle("Other", "nobodyAnswers:", "");
  item->setMenu(menu);
  EXPECT_TRUE(show->performAction());
  EXPECT_FALSE(unknown->performAction());
  ASSERT_EQ(delegate->senders.size(), 1u);
  EXPECT_EQ(delegate->senders[0], show.get());

  // The key window's content controller comes before the delegate.
  auto controller = Storyboard::storyboardWithName("Form")->instantiateInitialController();
  controller->showWindow(nullptr);
  auto form = std::dynamic_pointer_cast<FormController>(controller->contentViewController());
  auto vrl = MenuItem::make("On", "btnVRL:", "");
  EXPECT_TRUE(vrl->performAction());
  EXPECT_EQ(form->actions, std::vector<std::string>{"btnVRL:"});
  // An explicit target takes it whatever the chain.
  vrl->setTarget(delegate);
  EXPECT_FALSE(vrl->performAction());
}

TEST_F(AppKitTest, WorkspaceOpensOnlyValidAddressesAndPostsWakeOnSignal) {
  std::vector<std::string> opened;
  Workspace::shared().setURLOpenerForTesting([&](const std::string& url) {
    opened.push_back(url);
    return true;
  });
  EXPECT_FALSE(Workspace::shared().openURL("not an address"));
  EXPECT_FALSE(Workspace::shared().openURL(""));
  EXPECT_TRUE(Workspace::shared().openURL("https://vorellin.test/password-reset"));
  EXPECT_EQ(opened, std::vector<std::string>{"https://vorellin.test/password-reset"});
  Workspace::shared().setURLOpenerForTesting(nullptr);

  int wakes = 0;
  auto token = Workspace::shared().notificationCenter().addObserver(kWorkspaceDidWakeNotification, nullptr,
                                                                    [&](const Notification&) { ++wakes; });
  Workspace::shared().installWakeSignalHandler();
  ASSERT_EQ(::raise(SIGUSR1), 0);
  ASSERT_TRUE(Application::shared().runUntil([&] { return wakes == 1; }, std::chrono::seconds(5)));
  Workspace::shared().notificationCenter().removeObserver(token);
}

TEST_F(AppKitTest, ComposedMailTakesTextsAsBodyLinesAndFileAddressesAsAttachments) {
  EXPECT_EQ(SharingService::sharingServiceNamed("com.example.unknown"), nullptr);
  SharingService::setAvailableForTesting(false);
  EXPECT_EQ(SharingService::sharingServiceNamed(kSharingServiceNameComposeEmail), nullptr);

  std::vector<SharingService::Message> sent;
  SharingService::setAvailableForTesting(true);
  SharingService::setComposerForTesting([&](const SharingService::Message& m) {
    sent.push_back(m);
    return true;
  });
  auto mail = SharingService::sharingServiceNamed(kSharingServiceNameComposeEmail);
  ASSERT_NE(mail, nullptr);
  mail->setRecipients({"support@vorellin.test"});
  mail->setSubject("Bug report from Vorellin user (macOS)");
  EXPECT_TRUE(mail->performWithItems({"file:///tmp/logs/Vorellin%202024.log", "", "--------------", "User ID: u1",
                                      "Email: Unknown"}));
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].recipients, std::vector<std::string>{"support@vorellin.test"});
  EXPECT_EQ(sent[0].subject, "Bug report from Vorellin user (macOS)");
  EXPECT_EQ(sent[0].attachments, std::vector<std::string>{"/tmp/logs/Vorellin 2024.log"});
  EXPECT_EQ(sent[0].body, "\n--------------\nUser ID: u1\nEmail: Unknown");
  SharingService::setComposerForTesting(nullptr);
  SharingService::setAvailableForTesting(std::nullopt);
}

}  // namespace
}  // namespace platform::appkit
