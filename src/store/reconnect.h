// The link keeper: while the target runs over SFTP, a thread that notices an idle link that
// died and brings a broken link back.
#pragma once

// Starts the keeper when the link can be reconnected; nothing otherwise (mock mode, or
// "reconnect" switched off).
void reconnect_start();
// Ends the keeper (an attempt under way finishes first: each step has its time-out). Commands
// that wait for the link give up from then on.
void reconnect_stop();
// For the stop: when the link is down, one attempt now, from the caller's thread.
void reconnect_once_if_down();
