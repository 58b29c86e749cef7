-- What j4_plant and the line stations ask of the plant's decisions, each a
-- function the programs call.

-- A release as the plant adds it: 'added'; 'signed' when the same file
-- comes signed by another key (a key rotated: stations that trust only the
-- new key can follow it); 'there' when nothing changed.
CREATE OR REPLACE FUNCTION j4_add_release(p_sha256 text, p_file bytea, p_signature text,
                                          p_version text, p_key_id text, p_trusted_comment text,
                                          p_by text) RETURNS text LANGUAGE sql AS $$
    WITH added AS (
        INSERT INTO j4_releases (file_sha256, file, signature, version, key_id, trusted_comment,
                                 added_by)
        VALUES (p_sha256, p_file, p_signature, p_version, p_key_id, p_trusted_comment, p_by)
        ON CONFLICT (file_sha256) DO NOTHING RETURNING 'added'::text AS how
    ), signed AS (
        UPDATE j4_releases SET signature = p_signature, version = p_version, key_id = p_key_id,
                               trusted_comment = p_trusted_comment
        WHERE file_sha256 = p_sha256 AND key_id <> p_key_id AND NOT EXISTS (SELECT FROM added)
        RETURNING 'signed'::text AS how
    )
    SELECT COALESCE((SELECT how FROM added), (SELECT how FROM signed), 'there')
$$;

-- Every release added, oldest first.
CREATE OR REPLACE FUNCTION j4_release_list()
RETURNS TABLE (version text, file_sha256 text, key_id text, added_by text, added text)
LANGUAGE sql STABLE AS $$
    SELECT r.version, r.file_sha256, r.key_id, r.added_by,
           to_char(r.added AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"')
    FROM j4_releases r ORDER BY r.added, r.file_sha256
$$;

-- The releases a name means: a SHA-256, or a version (oldest first).
CREATE OR REPLACE FUNCTION j4_releases_named(p_name text) RETURNS SETOF text
LANGUAGE sql STABLE AS $$
    SELECT r.file_sha256 FROM j4_releases r
    WHERE CASE WHEN p_name ~ '^[0-9a-f]{64}$' THEN r.file_sha256 = p_name
               ELSE r.version = p_name END
    ORDER BY r.added
$$;

-- A line's new active assignment, the earlier one kept as history, under
-- the line's own lock: two assignments of one line at once leave exactly
-- one active. A correction keeps the line's failure rule when p_keep_rule.
-- Returns the rule it has, and its release's version.
CREATE OR REPLACE FUNCTION j4_assign(p_line text, p_sha256 text, p_part_number text,
                                     p_work_order text, p_lot text, p_quantity integer,
                                     p_stop_failures integer, p_stop_window integer,
                                     p_stop_whole_line boolean, p_by text, p_keep_rule boolean)
RETURNS TABLE (stop_failures integer, stop_window integer, stop_whole_line boolean, version text)
LANGUAGE plpgsql AS $$
#variable_conflict use_column
BEGIN
    PERFORM pg_advisory_xact_lock(hashtext('j4_line:' || p_line));
    UPDATE j4_assignments SET active = false WHERE line = p_line AND active;
    RETURN QUERY
    INSERT INTO j4_assignments AS n (line, file_sha256, part_number, work_order, lot, quantity,
                                     stop_failures, stop_window, stop_whole_line, assigned_by)
    SELECT p_line, p_sha256, p_part_number, p_work_order, p_lot, p_quantity,
           CASE WHEN p_keep_rule THEN p.stop_failures ELSE p_stop_failures END,
           CASE WHEN p_keep_rule THEN p.stop_window ELSE p_stop_window END,
           CASE WHEN p_keep_rule THEN COALESCE(p.stop_whole_line, true)
                ELSE p_stop_whole_line END,
           p_by
    FROM (SELECT) one
    LEFT JOIN LATERAL (SELECT * FROM j4_assignments x WHERE x.line = p_line AND NOT x.active
                       ORDER BY x.id DESC LIMIT 1) p ON true
    RETURNING n.stop_failures, n.stop_window, n.stop_whole_line,
              (SELECT r.version FROM j4_releases r WHERE r.file_sha256 = p_sha256);
END $$;

-- Each line with an active assignment (or the one named): its release,
-- work order, units done, failure rule, hold, the stations that recorded
-- on it, and what its stations refuse.
CREATE OR REPLACE FUNCTION j4_line_status(p_line text)
RETURNS TABLE (line text, version text, file_sha256 text, work_order text, lot text,
               part_number text, quantity integer, done bigint, stop_failures integer,
               stop_window integer, stop_whole_line boolean, assigned_by text, assigned text,
               held text, stations text, refused text)
LANGUAGE sql STABLE AS $$
    SELECT a.line, r.version, a.file_sha256, a.work_order, a.lot, a.part_number, a.quantity,
           (j4_work_order_counts(a.work_order)).done, a.stop_failures, a.stop_window,
           a.stop_whole_line, a.assigned_by,
           to_char(a.assigned AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS"Z"'),
           (SELECT j4_hold_text(h.station, h.reason) FROM j4_holds h WHERE h.line = a.line
            ORDER BY h.station LIMIT 1),
           (SELECT string_agg(s.station, ',' ORDER BY s.station) FROM j4_station_last s
            WHERE s.line = a.line),
           j4_line_refused(a.line)
    FROM j4_assignments a JOIN j4_releases r USING (file_sha256)
    WHERE a.active AND (p_line IS NULL OR a.line = p_line)
    ORDER BY a.line
$$;

-- A whole line held, by whom and why (a hold already there takes the new
-- reason).
CREATE OR REPLACE FUNCTION j4_hold(p_line text, p_reason text, p_by text) RETURNS void
LANGUAGE sql AS $$
    INSERT INTO j4_holds (line, station, reason, held_by) VALUES (p_line, '', p_reason, p_by)
    ON CONFLICT (line, station) DO UPDATE SET
        reason = EXCLUDED.reason, held_by = EXCLUDED.held_by, held = now()
$$;

-- An assignment as a line station follows it.
CREATE OR REPLACE FUNCTION j4_assignment(p_id bigint)
RETURNS TABLE (line text, file_sha256 text, version text, work_order text, lot text,
               part_number text, quantity integer)
LANGUAGE sql STABLE AS $$
    SELECT a.line, a.file_sha256, r.version, a.work_order, a.lot, a.part_number, a.quantity
    FROM j4_assignments a JOIN j4_releases r USING (file_sha256)
    WHERE a.id = p_id
$$;

-- A release's file and its signature, as a line station keeps them.
CREATE OR REPLACE FUNCTION j4_release_file(p_sha256 text)
RETURNS TABLE (file bytea, signature text) LANGUAGE sql STABLE AS $$
    SELECT r.file, r.signature FROM j4_releases r WHERE r.file_sha256 = p_sha256
$$;
