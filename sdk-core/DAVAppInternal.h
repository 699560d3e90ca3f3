// Hooks of the app registry for its own tests.
#pragma once

// Makes the next read of the Info.plist data-collection switch look at the main bundle again.
void DAVAppResetDataCollectionPlistSwitchForTesting();
