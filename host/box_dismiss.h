// Message boxes and dialogs of the plug-in while no user is there: a CBT hook
// on each thread that calls into the plug-in prints every box and dismisses it
// (message boxes with OK, other dialogs with Cancel), so nothing waits on a
// window nobody sees.
#pragma once

// Hooks the calling thread; does nothing when boxes are left to a user.
void InstallBoxDismisser();
void RemoveBoxDismisser();
// Set once, before any thread hooks itself.
void LeaveBoxesToUser(bool interactive);
