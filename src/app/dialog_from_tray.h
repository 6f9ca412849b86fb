#pragma once
// Shows the capture dialog modally from the tray (at start-up, on a left click
// and from the menu), unless one is already open.
void OpenDialogFromTray();
