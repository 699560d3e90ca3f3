// The controller classes the main storyboard names, registered with the storyboard loader.
#pragma once

namespace vorellin {

void registerApplicationClasses();

}  // namespace vorellin
