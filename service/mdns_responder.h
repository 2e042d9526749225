// The service's announcement on the local network (multicast DNS with
// DNS-SD): a thread of its own that probes for its instance name, renames it
// on a conflict, announces it, answers queries, announces again when the
// machine's addresses change, and says goodbye when stopped.
#pragma once

#include <stdint.h>

#include "service/log_file.h"

struct MdnsResponder;

// Reads the settings file's keys Announce (0 turns announcing off) and
// AnnounceName (the instance name; the computer's name by default) and
// starts announcing a server on `port`. Null when announcing is off or
// cannot start; the latter is logged. Call on the run thread, after the
// server listens.
MdnsResponder *StartMdnsResponder(const wchar_t *settingsPath, uint16_t port, CLogFile *log);
// Sends the goodbyes, ends the thread and frees the responder. Accepts null.
void StopMdnsResponder(MdnsResponder *responder);
