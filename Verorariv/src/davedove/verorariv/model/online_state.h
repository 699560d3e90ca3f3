#ifndef DAVEDOVE_VERORARIV_MODEL_ONLINE_STATE_H_
#define DAVEDOVE_VERORARIV_MODEL_ONLINE_STATE_H_

namespace davedove {
namespace verorariv {
namespace model {

// Whether the client believes it can reach the backend.
enum class OnlineState {
  // Not known yet: the watch stream has not connected or failed often enough to tell.
  Unknown,
  // The watch stream is connected and has received a message.
  Online,
  // Connecting failed repeatedly, timed out, or the network is disabled.
  Offline,
};

}  // namespace model
}  // namespace verorariv
}  // namespace davedove

#endif  // DAVEDOVE_VERORARIV_MODEL_ONLINE_STATE_H_
