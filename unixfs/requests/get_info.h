// The server information request.
#pragma once

struct GRFS_SESSION;
struct GRFS_MESSAGE;

// GRFS_GET_INFO; returns whether sending failed.
int GetInfo(GRFS_SESSION* ses, GRFS_MESSAGE* req);
