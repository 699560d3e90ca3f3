#include "Vorellin/URLSessionSynchronous.h"

#include <future>

namespace vorellin {

DataTaskResult synchronousDataTask(platform::net::URLSession& session, const platform::net::URLRequest& request) {
  auto done = std::make_shared<std::promise<DataTaskResult>>();
  std::future<DataTaskResult> result = done->get_future();
  session.dataTask(request, [done](std::optional<platform::Data> data, int httpStatus, platform::ErrorPtr error) {
    done->set_value(DataTaskResult{std::move(data), httpStatus, std::move(error)});
  });
  return result.get();
}

}  // namespace vorellin
