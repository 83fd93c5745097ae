// The tables of a share's index database and their version.
//
// Every history is append-only and ordered by its table's seq (the rowid):
// within one entity, the row written last among those stamped before a
// query's cutoff is the one in force. Stamps are ns since the epoch.
//
//   meta(key, value)          root_guid, root_ver, created_ns
//   objects(obj_guid, kind, parent_file, extent_number, created_ns)
//                             kind: 0 file, 1 dir, 2 link, 3 extent; extents
//                             name their file and number
//   versions(seq, obj_guid, ver_guid, vtime_ns)
//                             a version exists from vtime_ns on
//   attrs(seq, obj_guid, ver_guid, stamp_ns, size, mode, uid, gid, atime,
//         ctime, mtime, extent_size, item_flag, link_target, custom,
//         reserved1, reserved2)
//                             the full attributes of a version after each
//                             change (NULL mode/uid/gid: never sent)
//   names(seq, obj_guid, parent_guid, name, from_ns, to_ns)
//                             an object has name `name` under `parent_guid`
//                             for stamps in [from_ns, to_ns); to_ns NULL
//                             while current. Only the object's own row
//                             changes on a rename: paths are walked.
//   deletions(seq, obj_guid, ver_guid, stamp_ns, deleted)
//                             deleted 1/0 from stamp_ns on; ver_guid '' for
//                             an object, the segment for an extent version
//   locations(seq, segment, afile_id, afile_offset, stamp_ns)
//   changes(seq, origin, kind, obj_guid, ver_guid, parent_guid, path, name,
//           mode, size, uid, gid, ctime, mtime, update_selector, stamp_ns)
//                             the change feed (AUTOINCREMENT: a seq is never
//                             reused after old rows are trimmed, so cursors
//                             stay valid)
//   cursors(consumer, last_seq), consumer_origins(origin, consumer)
#pragma once

namespace ObjectStore {

class IndexConnection;

// The schema version this code writes (PRAGMA user_version).
inline constexpr int INDEX_SCHEMA_VERSION = 1;

// Creates the tables of a new database in one transaction, or checks that
// an existing one is an index database of this version. 0, or EIO (logged)
// for a database that is something else, newer, or damaged.
int ensureIndexSchema(IndexConnection& connection);

}  // namespace ObjectStore
