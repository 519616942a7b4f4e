// Detaching: one attachment on request, every one at session end.
#pragma once

struct GRFS_SESSION;
struct GRFS_MESSAGE;
struct DRVDLE;

// GRFS_DETACH_DLE; returns the send result.
int DetachDLE(GRFS_SESSION* ses, GRFS_MESSAGE* req);

// Releases one DLE attachment's resources (its searches, root descriptor,
// handle in the session's table, path buffer and the record). The caller has
// unlinked it.
void ReleaseDrvdle(GRFS_SESSION* ses, DRVDLE* drvdle);

// Session end: releases every attachment of both kinds, bringing
// attach_count down with them, and every search left over.
void ReleaseAllAttachments(GRFS_SESSION* ses);
