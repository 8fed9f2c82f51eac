// Follows the device's own format and write stages once a second after a large image
// has been sent, and sends the closing command packet when the image is stored.
#pragma once

// Runs on the download worker. 1 when the device reported the image stored and the
// command packet was written; 0 on every failure (the user has been told already).
int MonitorFlashing();

// Writes the command packet; on failure shows the "bResult Error" box. 1 or 0.
int SendCommandPacket(unsigned code);

// The device's failure captions, as the Big5 bytes it is known by.
extern const char kFormatFailedCaptionBig5[];
extern const char kWriteFailedCaptionBig5[];
