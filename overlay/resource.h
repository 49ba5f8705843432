// Resource identifiers of Glint.dll. The icon groups follow each other in
// overlay-index order, so a group's position in the file is its index.
#pragma once

#define IDR_GLINT_REGISTRY 102
#define IDI_OVERLAY_SYNCED 103
#define IDI_OVERLAY_NOT_SYNCED 104
#define IDI_OVERLAY_SYNCING 105
#define IDI_OVERLAY_ERROR 106
#define IDI_OVERLAY_CONFLICT 107
