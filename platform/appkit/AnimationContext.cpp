#include "platform/appkit/AnimationContext.h"

#include <QCoreApplication>
#include <QVariantAnimation>
#include <atomic>
#include <map>

#include "platform/appkit/QtSupport.h"
#include "platform/appkit/View.h"
#include "platform/dispatch/Queue.h"

namespace platform::appkit {

struct AnimationContext::Group {
  int pending = 0;
  bool closed = false;  // the changes block has returned
  bool done = false;
  std::function<void()> completion;

  void finishOne() {
    --pending;
    completeIfDone();
  }
  void completeIfDone() {
    if (done || !closed || pending > 0) return;
    done = true;
    if (auto completion = std::move(this->completion)) dispatch::Queue::main()->async(std::move(completion));
  }
};

namespace {

std::atomic<bool> instant{false};
AnimationContext* currentContext = nullptr;  // main thread only

// One running alpha animation per view; a new change of the view's alpha ends the old one, which
// still counts as finished for its group.
struct Running {
  QVariantAnimation* animation = nullptr;
  std::shared_ptr<AnimationContext::Group> group;
};
std::map<const View*, Running>& running() {
  static auto* r = new std::map<const View*, Running>();
  return *r;
}

void endRunning(const View* view) {
  auto it = running().find(view);
  if (it == running().end()) return;
  Running r = it->second;
  running().erase(it);
  if (r.animation) {
    QObject::disconnect(r.animation, nullptr, nullptr, nullptr);
    r.animation->stop();
    r.animation->deleteLater();
  }
  if (r.group) r.group->finishOne();
}

}  // namespace

void qt::endAlphaAnimation(const View* view) { endRunning(view); }

void AnimationContext::runAnimationGroup(const std::function<void(AnimationContext&)>& changes,
                                         std::function<void()> completionHandler) {
  AnimationContext context;
  context.group_ = std::make_shared<Group>();
  context.group_->completion = std::move(completionHandler);
  AnimationContext* previous = currentContext;
  currentContext = &context;
  if (changes) changes(context);
  currentContext = previous;
  context.group_->closed = true;
  context.group_->completeIfDone();
}

AnimationContext* AnimationContext::current() { return currentContext; }

void AnimationContext::setInstantAnimationsForTesting(bool value) { instant = value; }
bool AnimationContext::instantAnimations() { return instant; }

void ViewAnimator::setAlphaValue(double alpha) {
  View* view = &view_;
  endRunning(view);
  AnimationContext* context = AnimationContext::current();
  const double duration = context ? context->duration() : AnimationContext::kDefaultDuration;
  if (instant || duration <= 0 || !view->widget()) {
    view->applyAlpha(alpha);
    return;
  }
  std::weak_ptr<View> weak = view->shared_from_this();
  auto* animation = new QVariantAnimation(QCoreApplication::instance());
  animation->setStartValue(view->alphaValue());
  animation->setEndValue(alpha);
  animation->setDuration(int(duration * 1000));
  QObject::connect(animation, &QVariantAnimation::valueChanged, animation, [weak](const QVariant& v) {
    if (auto strong = weak.lock()) strong->applyAlpha(v.toDouble());
  });
  QObject::connect(animation, &QVariantAnimation::finished, animation, [weak, view, alpha] {
    if (auto strong = weak.lock()) strong->applyAlpha(alpha);
    endRunning(view);
  });
  Running r;
  r.animation = animation;
  if (context) {
    r.group = context->group();
    ++r.group->pending;
  }
  running()[view] = r;
  animation->start();
}

}  // namespace platform::appkit
