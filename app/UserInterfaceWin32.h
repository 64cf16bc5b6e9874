#pragma once

// Makes UI() show real Windows boxes and quit the GUI thread's message loop.
void InstallWin32UserInterface();
