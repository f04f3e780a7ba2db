// The directory watcher: directories read with ReadDirectoryChangesW on one completion port, served
// by one worker thread per watcher; the walk over a completed notification buffer; and the base
// class of every change handler.
//
// Threading: the public operations of CDirectoryChangeWatcher are called by the watcher's owner.
// The worker thread calls the handler operations, but only ever on the deferred-delivery wrapper
// (DelayedDirectoryChangeHandler.h), which moves them to the delivery window's thread or to the
// delivery thread. Lock order: watcher lock -> watch record's properties lock; watcher lock ->
// handler lock when a watch is released; handler lock -> watcher lock when a handler moves to
// another watcher.
#pragma once

#include "watcher/DirWatchInfo.h"
#include "watcher/DirectoryChangeHandler.h"
#include "watcher/DirectoryChangeWatcher.h"
#include "watcher/FileNotifyInformation.h"
