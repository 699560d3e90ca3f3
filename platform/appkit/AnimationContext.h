// Animation groups: changes made through a view's animator proxy inside a group run over the group's
// duration; the completion runs on the main thread once every animation of the group has ended.
// Under the test switch every animation ends at once (the completion still comes from the main queue).
#pragma once

#include <functional>
#include <memory>

namespace platform::appkit {

class AnimationContext {
 public:
  static constexpr double kDefaultDuration = 0.25;  // seconds

  static void runAnimationGroup(const std::function<void(AnimationContext&)>& changes,
                                std::function<void()> completionHandler);
  // The group being set up, or nullptr outside one.
  static AnimationContext* current();

  double duration() const { return duration_; }
  void setDuration(double seconds) { duration_ = seconds; }

  static void setInstantAnimationsForTesting(bool instant);
  static bool instantAnimations();

  // Internal: the animator proxy adds its animations to the current group.
  struct Group;
  std::shared_ptr<Group> group() const { return group_; }

 private:
  AnimationContext() = default;
  double duration_ = kDefaultDuration;
  std::shared_ptr<Group> group_;
};

}  // namespace platform::appkit
