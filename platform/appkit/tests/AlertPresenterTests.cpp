#include "platform/appkit/AlertPresenter.h"

#include <gtest/gtest.h>

namespace platform::appkit {
namespace {

TEST(AlertPresenterTest, SharedRecorderKeepsAlertsAndAnswersWithTheChosenButton) {
  auto recorder = std::make_shared<RecordingAlertPresenter>();
  AlertPresenter::setShared(recorder);
  ASSERT_EQ(AlertPresenter::shared(), recorder);

  Alert two{"Delete?", "It cannot be undone.", AlertStyle::Critical, {"Delete", "Cancel"}};
  EXPECT_EQ(AlertPresenter::shared()->runModal(two), 0u);
  recorder->setAnswer(1);
  EXPECT_EQ(AlertPresenter::shared()->runModal(two), 1u);
  // An answer past the last button gives the last one; no buttons gives 0.
  recorder->setAnswer(5);
  EXPECT_EQ(AlertPresenter::shared()->runModal(two), 1u);
  EXPECT_EQ(AlertPresenter::shared()->runModal(Alert{"Note", "", AlertStyle::Informational, {}}), 0u);

  ASSERT_EQ(recorder->count(), 4u);
  EXPECT_EQ(recorder->alerts().front(), two);
  recorder->clear();
  EXPECT_EQ(recorder->count(), 0u);

  AlertPresenter::setShared(nullptr);
  auto fresh = std::dynamic_pointer_cast<RecordingAlertPresenter>(AlertPresenter::shared());
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, recorder);
  EXPECT_EQ(fresh->count(), 0u);
}

}  // namespace
}  // namespace platform::appkit
