#pragma once
// The two jobs the program can be started for.

namespace zanpost {

// SEND: sends one message built from Zprava to the SMTP server.
void SendJob();

// GET: fetches every marked message from the POP3 server and unpacks it.
void ReceiveJob();

}  // namespace zanpost
