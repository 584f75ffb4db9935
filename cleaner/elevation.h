// Whether the tool runs with an elevated (administrator) token.
#pragma once

// True only when the token could be opened and queried and reports elevation as exactly 1.
bool IsProcessElevated();
