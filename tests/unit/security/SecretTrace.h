// Looks for copies of a secret left behind in memory the program let go of: while a trace
// runs, every heap block that is freed is searched for the secret first, and the stack
// below the caller (the frames of the calls that returned) can be searched after them.
// A password or key that shows up there was copied and not wiped.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace secrettrace {

// False where the heap cannot be watched (under the sanitizers, whose allocator this
// would stand in front of).
bool Available();

// Starts watching the heap for any of the secrets (each at least 6 bytes).
void Start(const std::vector<std::string>& secrets);
// Ends the watch: how many freed blocks held a secret.
int Stop();

// Zeroes the stack below the caller, so that a later search finds only what the calls
// made after it left there.
void ClearDeadStack();
// Whether the stack below the caller holds one of the secrets.
bool DeadStackHolds(const std::vector<std::string>& secrets);

// Runs the calls with the heap watched, then searches the stack they used: "" when they left
// no secret behind, else where they did ("3 freed blocks", "the stack", or both).
std::string LeftBehind(const std::vector<std::string>& secrets, const std::function<void()>& calls);

}  // namespace secrettrace
