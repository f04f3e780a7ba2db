// The privileges a watch relies on (backup and restore: opening directories whatever their
// security; change-notify: traversal), enabled once per process on the first watch and never
// disabled again.
#pragma once

void EnableWatchPrivileges();
