#include "davedove/verorariv/auth/credentials_provider.h"

namespace davedove {
namespace verorariv {
namespace auth {

CredentialsProvider::CredentialsProvider() = default;

CredentialsProvider::~CredentialsProvider() = default;

}  // namespace auth
}  // namespace verorariv
}  // namespace davedove
