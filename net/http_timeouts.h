// Time-outs of HTTPHandler transfers. Every transfer gives up connecting
// after connectMs; a transfer made on the user-interface thread also gives up
// after totalOnUserInterfaceMs in all, so that no server can freeze the
// window: the album-art request, which the window waits for, takes at most
// 5 s. Worker transfers end through their cancel flag instead.
#pragma once

struct HttpTimeouts {
  long connectMs = 10000;
  long totalOnUserInterfaceMs = 5000;
};

HttpTimeouts CurrentHttpTimeouts();
// For tests, which cannot wait for the real values.
void SetHttpTimeouts(const HttpTimeouts& timeouts);
