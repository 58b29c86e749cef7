-- J4 Updater's records: every update attempt of every station, one row each.
-- The programs create this when it is missing; a database administrator may
-- run it instead, as the owner of the schema the stations write into, and
-- then give the stations' role only INSERT and SELECT.
--
-- j4_schema holds the version of this layout, one row, so that a later
-- release can migrate it. Everything below may be run again: run on a
-- database of an earlier layout, it adds what came since, in place.

CREATE TABLE IF NOT EXISTS j4_schema (
    one boolean PRIMARY KEY DEFAULT true CHECK (one),
    version integer NOT NULL
);
INSERT INTO j4_schema (version) VALUES (1) ON CONFLICT (one) DO NOTHING;

CREATE TABLE IF NOT EXISTS j4_attempts (
    attempt uuid PRIMARY KEY,            -- made by the station, once per attempt
    station text NOT NULL,
    operator text,
    unit text,                           -- the unit's serial number, when scanned
    started timestamptz NOT NULL,
    ended timestamptz NOT NULL,
    program_version text,
    host text,
    file text NOT NULL,
    file_sha256 text,
    image_bytes bigint,
    frames bigint,
    port_number integer,
    slot integer,
    device text,
    adapter text,
    adapter_serial text,
    outcome text NOT NULL,               -- completed, port_failed, ...
    message text,                        -- the result as the operator saw it
    detail text,
    bytes_accepted bigint,
    transmissions bigint,
    rejects bigint,
    duration_ms bigint,
    signature_key_id text,
    release_version text,
    trusted_comment text,
    -- A file name, unit or operator that is not UTF-8, byte for byte (the
    -- text columns hold it readable, with U+FFFD for what is not).
    file_bytes bytea,
    unit_bytes bytea,
    operator_bytes bytea,
    record json NOT NULL,                -- the log line itself, as written
    received timestamptz NOT NULL DEFAULT now()
);

CREATE INDEX IF NOT EXISTS j4_attempts_unit ON j4_attempts (unit);
CREATE INDEX IF NOT EXISTS j4_attempts_file_sha256 ON j4_attempts (file_sha256);
CREATE INDEX IF NOT EXISTS j4_attempts_station ON j4_attempts (station);
CREATE INDEX IF NOT EXISTS j4_attempts_started ON j4_attempts (started);

-- Yield per station and day (UTC): attempts, completed, and their share.
-- An interrupted attempt counts as an attempt that did not complete.
CREATE OR REPLACE VIEW j4_station_yield AS
SELECT station,
       (started AT TIME ZONE 'UTC')::date AS day,
       count(*) AS attempts,
       count(*) FILTER (WHERE outcome = 'completed') AS completed,
       count(*) FILTER (WHERE outcome <> 'completed') AS failed,
       round(100.0 * count(*) FILTER (WHERE outcome = 'completed') / count(*), 1)
           AS yield_percent
FROM j4_attempts
GROUP BY station, day;

-- A unit's history: every attempt on one unit serial, newest first:
--   SELECT * FROM j4_unit_history WHERE unit = 'J4-00012345';
CREATE OR REPLACE VIEW j4_unit_history AS
SELECT unit, started, outcome, release_version, file_sha256, signature_key_id,
       station, slot, operator, file, message, attempt
FROM j4_attempts
WHERE unit IS NOT NULL
ORDER BY unit, started DESC;

-- The plant: which release each line flashes, for which work order and how
-- many units, and whether it is held. Its layout has a version of its own
-- (j4_schema.plant), so that stations of an earlier J4 Updater, which read
-- only j4_schema.version, go on sending their records into the same table.
ALTER TABLE j4_schema ADD COLUMN IF NOT EXISTS plant integer;
UPDATE j4_schema SET plant = 1 WHERE plant IS NULL;

-- A release as the plant added it: the file's bytes and its signature, and
-- what was read from them when it was added (checked again by every station
-- with its own trusted keys).
CREATE TABLE IF NOT EXISTS j4_releases (
    file_sha256 text PRIMARY KEY CHECK (file_sha256 ~ '^[0-9a-f]{64}$'),
    file bytea NOT NULL,
    signature text NOT NULL,             -- minisign's .minisig, as it was
    version text,                        -- the trusted comment's version=
    key_id text NOT NULL,
    trusted_comment text,
    added_by text NOT NULL,
    added timestamptz NOT NULL DEFAULT now()
);

-- What a line flashes: one active assignment per line, the earlier ones kept.
CREATE TABLE IF NOT EXISTS j4_assignments (
    id bigserial PRIMARY KEY,
    line text NOT NULL CHECK (length(line) BETWEEN 1 AND 200),
    file_sha256 text NOT NULL REFERENCES j4_releases,
    part_number text,
    work_order text NOT NULL,
    lot text,
    quantity integer NOT NULL CHECK (quantity > 0),
    -- "stop after stop_failures failures in the last stop_window attempts";
    -- none: the line never stops itself.
    stop_failures integer CHECK (stop_failures > 0),
    stop_window integer CHECK (stop_window >= stop_failures),
    stop_whole_line boolean NOT NULL DEFAULT true, -- else only the station whose attempts failed
    assigned_by text NOT NULL,
    assigned timestamptz NOT NULL DEFAULT now(),
    active boolean NOT NULL DEFAULT true
);
CREATE UNIQUE INDEX IF NOT EXISTS j4_assignments_one_active ON j4_assignments (line) WHERE active;

-- A unit counted against an assignment's quantity: claimed by its station
-- before its first frame, then completed or failed by its attempt. A
-- failed one does not count; an open one whose station went away expires.
CREATE TABLE IF NOT EXISTS j4_claims (
    attempt uuid PRIMARY KEY,
    assignment bigint NOT NULL REFERENCES j4_assignments,
    station text NOT NULL,
    claimed timestamptz NOT NULL DEFAULT now(),
    expires timestamptz NOT NULL,
    state text NOT NULL DEFAULT 'open' CHECK (state IN ('open', 'completed', 'failed')),
    settled timestamptz
);
CREATE INDEX IF NOT EXISTS j4_claims_assignment ON j4_claims (assignment, state);

-- A held line (or one station of it): no transfer starts until resumed.
CREATE TABLE IF NOT EXISTS j4_holds (
    line text NOT NULL,
    station text NOT NULL DEFAULT '',    -- '': the whole line
    reason text NOT NULL,
    held_by text NOT NULL,
    held timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (line, station)
);

-- A claim's life: open (the unit is being made, kept while its station
-- renews it), committed (confirmed right before the unit's last frame: it
-- never expires, for its unit may be whole), then completed or failed. An
-- open claim that expired is never renewed nor completed: its unit may be
-- made elsewhere meanwhile; settled, it is lapsed, and counts for nothing.
ALTER TABLE j4_claims DROP CONSTRAINT IF EXISTS j4_claims_state_check;
ALTER TABLE j4_claims ADD CONSTRAINT j4_claims_state_check
    CHECK (state IN ('open', 'committed', 'completed', 'failed', 'lapsed'));
CREATE INDEX IF NOT EXISTS j4_assignments_work_order ON j4_assignments (work_order);
-- The unit a claim made, where it was scanned: a quantity counts units, and
-- a unit made again (at another station, after a failure) counts once.
ALTER TABLE j4_claims ADD COLUMN IF NOT EXISTS unit text;

-- What the plant takes as free text is bounded, as a line's name is: a
-- work order is in every record of its line, and indexed there.
ALTER TABLE j4_assignments DROP CONSTRAINT IF EXISTS j4_assignments_text_bounded;
ALTER TABLE j4_assignments ADD CONSTRAINT j4_assignments_text_bounded
    CHECK (length(work_order) BETWEEN 1 AND 200 AND length(lot) <= 200
           AND length(part_number) <= 200) NOT VALID;
ALTER TABLE j4_holds DROP CONSTRAINT IF EXISTS j4_holds_text_bounded;
ALTER TABLE j4_holds ADD CONSTRAINT j4_holds_text_bounded
    CHECK (length(reason) <= 500 AND length(held_by) <= 200) NOT VALID;

-- Every change of a claim is made under this one lock, and an expiry is
-- judged by the clock once it is held: a claim that expires cannot be
-- committed or renewed while another station claims its unit.
CREATE OR REPLACE FUNCTION j4_claims_locked() RETURNS void LANGUAGE sql AS $$
    SELECT pg_advisory_xact_lock(4004203)
$$;

-- A work order's units, whichever of its assignments (a correction, a
-- second line) they were made under: done (completed or committed), and
-- counted (those and the open claims still kept).
CREATE OR REPLACE FUNCTION j4_work_order_counts(p_work_order text,
                                                OUT done bigint, OUT counted bigint,
                                                OUT in_progress bigint, OUT failed bigint)
LANGUAGE sql AS $$
    SELECT count(DISTINCT COALESCE(c.unit, c.attempt::text))
               FILTER (WHERE c.state IN ('completed', 'committed')),
           count(DISTINCT COALESCE(c.unit, c.attempt::text))
               FILTER (WHERE c.state IN ('completed', 'committed')
                            OR (c.state = 'open' AND c.expires > clock_timestamp())),
           count(*) FILTER (WHERE c.state = 'committed'
                                 OR (c.state = 'open' AND c.expires > clock_timestamp())),
           count(*) FILTER (WHERE c.state = 'failed')
    FROM j4_assignments x JOIN j4_claims c ON c.assignment = x.id
    WHERE x.work_order = p_work_order
$$;

-- A station's claim on its line's next unit, in one short transaction:
-- the line's active assignment and the verdict: 'claimed', 'held' (with
-- the hold's reason), 'complete' (every unit done), 'full' (the units left
-- are claimed by stations still at work) or 'unassigned'.
-- A station may claim its next unit ahead, while it waits for the device,
-- only where p_spare units are left for the others besides ('full' then).
DROP FUNCTION IF EXISTS j4_claim(text, uuid, text, integer);
CREATE OR REPLACE FUNCTION j4_claim(p_line text, p_attempt uuid, p_station text,
                                    p_seconds integer, p_spare integer DEFAULT 0)
RETURNS TABLE (assignment bigint, verdict text, done bigint, quantity integer, reason text)
LANGUAGE plpgsql AS $$
DECLARE
    a j4_assignments%ROWTYPE;
    held text;
    w record;
BEGIN
    SELECT * INTO a FROM j4_assignments WHERE line = p_line AND active;
    IF NOT FOUND THEN
        RETURN QUERY SELECT NULL::bigint, 'unassigned'::text, 0::bigint, 0, NULL::text;
        RETURN;
    END IF;
    PERFORM j4_claims_locked();
    -- Asked again after an answer that was lost: the claim it made.
    IF EXISTS (SELECT 1 FROM j4_claims c WHERE c.attempt = p_attempt AND c.state = 'open') THEN
        RETURN QUERY SELECT c.assignment, 'claimed'::text, w.done, x.quantity, NULL::text
            FROM j4_claims c JOIN j4_assignments x ON x.id = c.assignment,
                 j4_work_order_counts(x.work_order) w
            WHERE c.attempt = p_attempt;
        RETURN;
    END IF;
    -- A hold of the station alone says so: its line goes on elsewhere.
    SELECT CASE h.station WHEN '' THEN h.reason ELSE 'station ' || h.station || ': ' || h.reason END
        INTO held FROM j4_holds h
        WHERE h.line = p_line AND h.station IN ('', p_station) ORDER BY h.station LIMIT 1;
    SELECT * INTO w FROM j4_work_order_counts(a.work_order);
    IF held IS NOT NULL THEN
        RETURN QUERY SELECT a.id, 'held'::text, w.done, a.quantity, held;
    ELSIF w.done >= a.quantity THEN
        RETURN QUERY SELECT a.id, 'complete'::text, w.done, a.quantity, NULL::text;
    ELSIF w.counted + p_spare >= a.quantity THEN
        RETURN QUERY SELECT a.id, 'full'::text, w.done, a.quantity, NULL::text;
    ELSE
        INSERT INTO j4_claims (attempt, assignment, station, expires)
            VALUES (p_attempt, a.id, p_station, clock_timestamp() + make_interval(secs => p_seconds));
        RETURN QUERY SELECT a.id, 'claimed'::text, w.done, a.quantity, NULL::text;
    END IF;
END $$;

-- The claims of units still being made kept for p_seconds more: only those
-- not yet expired. Returns the ones kept.
CREATE OR REPLACE FUNCTION j4_renew(p_attempts uuid[], p_seconds integer)
RETURNS SETOF uuid LANGUAGE plpgsql AS $$
BEGIN
    PERFORM j4_claims_locked();
    RETURN QUERY UPDATE j4_claims SET expires = clock_timestamp() + make_interval(secs => p_seconds)
        WHERE attempt = ANY (p_attempts) AND state = 'open' AND expires > clock_timestamp()
        RETURNING attempt;
END $$;

-- Right before a unit's last frame: its claim made lasting (with the
-- unit's serial, where scanned), or false when it has expired (its unit
-- may be another station's now) or is unknown. Asked again after an
-- answer that was lost, it says true again.
CREATE OR REPLACE FUNCTION j4_commit(p_attempt uuid, p_unit text DEFAULT NULL)
RETURNS boolean LANGUAGE plpgsql AS $$
BEGIN
    PERFORM j4_claims_locked();
    UPDATE j4_claims SET state = 'committed', unit = NULLIF(p_unit, '')
        WHERE attempt = p_attempt AND state = 'open' AND expires > clock_timestamp();
    RETURN EXISTS (SELECT 1 FROM j4_claims WHERE attempt = p_attempt AND state = 'committed');
END $$;

-- A claim given back unused, or by a unit stopped from outside (a shift's
-- end): it counts neither as a unit nor as a failure.
CREATE OR REPLACE FUNCTION j4_give_back(p_attempt uuid) RETURNS void LANGUAGE sql AS $$
    DELETE FROM j4_claims WHERE attempt = p_attempt AND state IN ('open', 'committed')
$$;

-- A claim's end: completed, or failed and given back. When the assignment's
-- failure rule trips (K failures in its last M settled attempts), the line
-- (or, as the assignment says, the station) is held; the hold's reason is
-- returned then.
CREATE OR REPLACE FUNCTION j4_settle(p_attempt uuid, p_completed boolean)
RETURNS text LANGUAGE plpgsql AS $$
DECLARE
    c j4_claims%ROWTYPE;
    a j4_assignments%ROWTYPE;
    failures integer;
    why text;
BEGIN
    PERFORM j4_claims_locked();
    UPDATE j4_claims SET state = CASE WHEN p_completed THEN 'completed' ELSE 'failed' END,
                         settled = now()
        WHERE attempt = p_attempt
          AND (state = 'committed'
               OR (state = 'open' AND (NOT p_completed OR expires > clock_timestamp())))
        RETURNING * INTO c;
    IF NOT FOUND THEN
        UPDATE j4_claims SET state = 'lapsed', settled = now()
            WHERE attempt = p_attempt AND state = 'open';
        RETURN NULL;
    END IF;
    SELECT * INTO a FROM j4_assignments WHERE id = c.assignment;
    IF p_completed OR a.stop_failures IS NULL THEN
        RETURN NULL;
    END IF;
    SELECT count(*) FILTER (WHERE recent.state = 'failed') INTO failures FROM (
        SELECT x.state FROM j4_claims x
        WHERE x.assignment = a.id AND x.state IN ('completed', 'failed')
          AND (a.stop_whole_line OR x.station = c.station)
        ORDER BY x.settled DESC LIMIT a.stop_window) recent;
    IF failures < a.stop_failures THEN
        RETURN NULL;
    END IF;
    why := format('%s failures in the last %s attempts', failures, a.stop_window);
    INSERT INTO j4_holds (line, station, reason, held_by)
        VALUES (a.line, CASE WHEN a.stop_whole_line THEN '' ELSE c.station END, why, c.station)
        ON CONFLICT (line, station) DO NOTHING;
    RETURN CASE WHEN a.stop_whole_line THEN why ELSE 'station ' || c.station || ': ' || why END;
END $$;

-- A unit made while the database was out of reach, counted now against the
-- assignment it was made for (once: its attempt is its key).
CREATE OR REPLACE FUNCTION j4_count_offline(p_assignment bigint, p_attempt uuid, p_station text,
                                            p_completed boolean) RETURNS void LANGUAGE sql AS $$
    INSERT INTO j4_claims (attempt, assignment, station, expires, state, settled)
    VALUES (p_attempt, p_assignment, p_station, now(),
            CASE WHEN p_completed THEN 'completed' ELSE 'failed' END, now())
    ON CONFLICT (attempt) DO NOTHING
$$;

-- Every record says what it was made for.
ALTER TABLE j4_attempts ADD COLUMN IF NOT EXISTS line text;
ALTER TABLE j4_attempts ADD COLUMN IF NOT EXISTS work_order text;
ALTER TABLE j4_attempts ADD COLUMN IF NOT EXISTS lot text;
ALTER TABLE j4_attempts ADD COLUMN IF NOT EXISTS part_number text;
CREATE INDEX IF NOT EXISTS j4_attempts_work_order ON j4_attempts (work_order);

-- Stations listen on j4_line: a line's assignment or hold changed.
CREATE OR REPLACE FUNCTION j4_line_changed() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('j4_line', COALESCE(NEW.line, OLD.line));
    RETURN NULL;
END $$;
DROP TRIGGER IF EXISTS j4_assignments_changed ON j4_assignments;
CREATE TRIGGER j4_assignments_changed AFTER INSERT OR UPDATE ON j4_assignments
    FOR EACH ROW EXECUTE FUNCTION j4_line_changed();
DROP TRIGGER IF EXISTS j4_holds_changed ON j4_holds;
CREATE TRIGGER j4_holds_changed AFTER INSERT OR UPDATE OR DELETE ON j4_holds
    FOR EACH ROW EXECUTE FUNCTION j4_line_changed();

-- Yield per work order: units completed against the quantity.
CREATE OR REPLACE VIEW j4_work_order_yield AS
SELECT line, work_order, lot, part_number,
       count(*) AS attempts,
       count(*) FILTER (WHERE outcome = 'completed') AS completed,
       count(*) FILTER (WHERE outcome <> 'completed') AS failed,
       round(100.0 * count(*) FILTER (WHERE outcome = 'completed') / count(*), 1)
           AS yield_percent
FROM j4_attempts
WHERE work_order IS NOT NULL
GROUP BY line, work_order, lot, part_number;

-- What a plant calls yield. The plant's day runs in its own time zone
-- (j4_schema.time_zone, an IANA name such as 'Europe/Berlin'; UTC unset).
ALTER TABLE j4_schema ADD COLUMN IF NOT EXISTS time_zone text;
CREATE OR REPLACE FUNCTION j4_time_zone() RETURNS text LANGUAGE sql STABLE AS $$
    SELECT COALESCE((SELECT time_zone FROM j4_schema), 'UTC')
$$;

-- Whether an attempt reached its device: a file refused or unreadable, a
-- unit never scanned, or a stop before the first frame is no failed update
-- of a unit, and is kept apart from them.
CREATE OR REPLACE FUNCTION j4_reached_device(p_outcome text, p_transmissions bigint)
RETURNS boolean LANGUAGE sql IMMUTABLE AS $$
    SELECT p_outcome NOT IN ('file_unreadable', 'file_refused', 'unit_not_scanned')
       AND NOT (p_outcome = 'interrupted' AND COALESCE(p_transmissions, 0) = 0)
$$;

-- Each unit once: where and when its first attempt that reached it was
-- made, whether that attempt completed (first pass) and whether any did
-- (final). A unit without a scanned serial cannot be told from the next
-- one on its slot: each of its attempts is a unit of its own. `fresh`
-- leaves out the attempts it is given (to count a unit as it was before
-- they arrived).
CREATE OR REPLACE FUNCTION j4_units_of(p_units text[], p_leave_out uuid[])
RETURNS TABLE (unit_key text, unit text, line text, station text, slot integer, release text,
               work_order text, lot text, part_number text, day date, started timestamptz,
               first_pass boolean, completed boolean, attempts bigint)
LANGUAGE sql STABLE AS $$
    SELECT DISTINCT ON (k.unit_key) k.unit_key, a.unit, a.line, a.station, a.slot,
           COALESCE(a.release_version, left(a.file_sha256, 12)), a.work_order, a.lot,
           a.part_number, (a.started AT TIME ZONE j4_time_zone())::date, a.started,
           a.outcome = 'completed',
           bool_or(a.outcome = 'completed') OVER (PARTITION BY k.unit_key),
           count(*) OVER (PARTITION BY k.unit_key)
    FROM unnest(p_units) k(unit_key)
    JOIN j4_attempts a ON a.unit = k.unit_key
    WHERE j4_reached_device(a.outcome, a.transmissions) AND a.attempt <> ALL (p_leave_out)
    ORDER BY k.unit_key, a.started, a.attempt
$$;

-- The plant's questions ("today, every line and station") must not read a
-- year of records, so the database keeps counts itself:
--   j4_yield_counts    units by line, station, slot, release, work order and
--                      the plant's day, each where it was first tried;
--   j4_failure_counts  attempts that did not complete, by outcome and reason;
--   j4_station_last    each station's last record;
--   j4_slot_last       each slot's last result, for the live view.
-- An insert only notes its attempts in j4_uncounted (the records' inserts
-- stay as fast); j4_counts_caught_up() counts what is noted there: the live
-- view runs it before each reading, and every 1024th insert does. A record that
-- arrives late (a log sent after an outage) is counted where it belongs:
-- the units it names are taken back as they were counted and counted again
-- with it. j4_summaries_rebuilt() counts everything anew; the layout runs it
-- when it adds the counts, and a change of time zone does.
CREATE TABLE IF NOT EXISTS j4_yield_counts (
    day date NOT NULL,
    line text,
    station text NOT NULL,
    slot integer,
    release text,
    work_order text,
    units bigint NOT NULL,
    first_pass bigint NOT NULL,
    completed bigint NOT NULL,
    UNIQUE NULLS NOT DISTINCT (day, line, station, slot, release, work_order)
);
CREATE TABLE IF NOT EXISTS j4_failure_counts (
    day date NOT NULL,
    line text,
    station text NOT NULL,
    reached_device boolean NOT NULL,
    outcome text NOT NULL,
    reason text,                         -- the message, its first 500 characters
    attempts bigint NOT NULL,
    UNIQUE NULLS NOT DISTINCT (day, line, station, reached_device, outcome, reason)
);
CREATE TABLE IF NOT EXISTS j4_station_last (
    station text PRIMARY KEY,
    line text,
    last_record timestamptz NOT NULL,
    last_attempt uuid NOT NULL,
    last_outcome text NOT NULL,
    last_unit text,
    program_version text,
    host text
);
CREATE TABLE IF NOT EXISTS j4_slot_last (
    station text NOT NULL,
    slot integer NOT NULL,               -- 0: the updater window's port
    outcome text NOT NULL,
    message text,
    unit text,
    ended timestamptz NOT NULL,
    attempt uuid NOT NULL,
    PRIMARY KEY (station, slot)
);
CREATE TABLE IF NOT EXISTS j4_uncounted (attempt uuid NOT NULL);
CREATE SEQUENCE IF NOT EXISTS j4_inserts_counted;

-- One statement, one snapshot: what it takes from j4_uncounted is exactly
-- what its counts see. Runs as the layout's owner (a station's role may
-- only insert records); one at a time, the others go on.
CREATE OR REPLACE FUNCTION j4_counts_caught_up() RETURNS void LANGUAGE plpgsql
SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    zone text := j4_time_zone();
BEGIN
    IF NOT pg_try_advisory_xact_lock(4004202) THEN
        RETURN;
    END IF;
    WITH batch AS (
        DELETE FROM j4_uncounted RETURNING attempt
    ), arrived AS (
        SELECT a.* FROM j4_attempts a WHERE a.attempt IN (SELECT attempt FROM batch)
    ), reached AS (
        SELECT array_agg(DISTINCT unit) FILTER (WHERE unit IS NOT NULL) AS named,
               array_agg(attempt) AS new_ones
        FROM arrived WHERE j4_reached_device(outcome, transmissions)
    ), yields AS (
        INSERT INTO j4_yield_counts AS c
            (day, line, station, slot, release, work_order, units, first_pass, completed)
        SELECT day, line, station, slot, release, work_order,
               sum(units), sum(first_pass), sum(completed)
        FROM (SELECT u.day, u.line, u.station, u.slot, u.release, u.work_order, -1 AS units,
                     -u.first_pass::int AS first_pass, -u.completed::int AS completed
              FROM reached r, j4_units_of(r.named, r.new_ones) u
              UNION ALL
              SELECT u.day, u.line, u.station, u.slot, u.release, u.work_order, 1,
                     u.first_pass::int, u.completed::int
              FROM reached r, j4_units_of(r.named, '{}') u
              UNION ALL -- each attempt without a serial is a unit of its own
              SELECT (started AT TIME ZONE zone)::date, line, station, slot,
                     COALESCE(release_version, left(file_sha256, 12)), work_order, 1,
                     (outcome = 'completed')::int, (outcome = 'completed')::int
              FROM arrived
              WHERE unit IS NULL AND j4_reached_device(outcome, transmissions)) d
        GROUP BY 1, 2, 3, 4, 5, 6
        HAVING sum(units) <> 0 OR sum(first_pass) <> 0 OR sum(completed) <> 0
        ORDER BY 1, 2, 3, 4, 5, 6
        ON CONFLICT (day, line, station, slot, release, work_order) DO UPDATE SET
            units = c.units + EXCLUDED.units, first_pass = c.first_pass + EXCLUDED.first_pass,
            completed = c.completed + EXCLUDED.completed
    ), failures AS (
        INSERT INTO j4_failure_counts AS c
            (day, line, station, reached_device, outcome, reason, attempts)
        SELECT (started AT TIME ZONE zone)::date, line, station,
               j4_reached_device(outcome, transmissions), outcome, left(message, 500), count(*)
        FROM arrived
        WHERE outcome <> 'completed'
        GROUP BY 1, 2, 3, 4, 5, 6
        ORDER BY 1, 2, 3, 4, 5, 6
        ON CONFLICT (day, line, station, reached_device, outcome, reason) DO UPDATE SET
            attempts = c.attempts + EXCLUDED.attempts
    ), slots AS (
        INSERT INTO j4_slot_last AS l (station, slot, outcome, message, unit, ended, attempt)
        SELECT DISTINCT ON (station, COALESCE(slot, 0)) station, COALESCE(slot, 0), outcome,
               message, unit, ended, attempt
        FROM arrived
        ORDER BY station, COALESCE(slot, 0), ended DESC, attempt
        ON CONFLICT (station, slot) DO UPDATE SET
            outcome = EXCLUDED.outcome, message = EXCLUDED.message, unit = EXCLUDED.unit,
            ended = EXCLUDED.ended, attempt = EXCLUDED.attempt
        WHERE EXCLUDED.ended > l.ended OR (EXCLUDED.ended = l.ended AND EXCLUDED.attempt < l.attempt)
    )
    INSERT INTO j4_station_last AS s (station, line, last_record, last_attempt, last_outcome,
                                      last_unit, program_version, host)
    SELECT DISTINCT ON (station) station, line, ended, attempt, outcome, unit,
           program_version, host
    FROM arrived
    ORDER BY station, ended DESC, attempt
    ON CONFLICT (station) DO UPDATE SET
        line = EXCLUDED.line, last_record = EXCLUDED.last_record,
        last_attempt = EXCLUDED.last_attempt, last_outcome = EXCLUDED.last_outcome,
        last_unit = EXCLUDED.last_unit, program_version = EXCLUDED.program_version,
        host = EXCLUDED.host
    WHERE EXCLUDED.last_record > s.last_record
       OR (EXCLUDED.last_record = s.last_record AND EXCLUDED.last_attempt < s.last_attempt);
END $$;


-- Each unit once, counted from all the records (a unit's own row is found
-- fast by its serial; counts over many units are j4_yield's). One sort,
-- of the few columns it needs: a year of records is counted in it anew.
CREATE OR REPLACE VIEW j4_units AS
SELECT DISTINCT ON (unit_key) unit, line, station, slot, release, work_order, lot,
       part_number, day, first_pass, completed, attempts
FROM (SELECT COALESCE(a.unit, a.attempt::text) AS unit_key, a.unit, a.line, a.station, a.slot,
             COALESCE(a.release_version, left(a.file_sha256, 12)) AS release, a.work_order,
             a.lot, a.part_number, (a.started AT TIME ZONE j4_time_zone())::date AS day,
             a.started, a.attempt, a.outcome = 'completed' AS first_pass,
             bool_or(a.outcome = 'completed') OVER w AS completed, count(*) OVER w AS attempts
      FROM j4_attempts a
      WHERE j4_reached_device(a.outcome, a.transmissions)
      WINDOW w AS (PARTITION BY COALESCE(a.unit, a.attempt::text) ORDER BY a.started, a.attempt
                   ROWS BETWEEN UNBOUNDED PRECEDING AND UNBOUNDED FOLLOWING)) u
ORDER BY unit_key, started, attempt;

CREATE OR REPLACE FUNCTION j4_summaries_rebuilt() RETURNS void LANGUAGE plpgsql
SECURITY DEFINER SET search_path FROM CURRENT AS $$
BEGIN
    -- Records arriving meanwhile wait, and are then counted by their trigger.
    LOCK TABLE j4_attempts IN SHARE MODE;
    PERFORM pg_advisory_xact_lock(4004202);
    TRUNCATE j4_yield_counts, j4_failure_counts, j4_station_last, j4_slot_last, j4_uncounted;
    INSERT INTO j4_yield_counts
    SELECT day, line, station, slot, release, work_order, count(*),
           count(*) FILTER (WHERE first_pass), count(*) FILTER (WHERE completed)
    FROM j4_units
    GROUP BY day, line, station, slot, release, work_order;
    INSERT INTO j4_failure_counts
    SELECT (started AT TIME ZONE j4_time_zone())::date, line, station,
           j4_reached_device(outcome, transmissions), outcome, left(message, 500), count(*)
    FROM j4_attempts
    WHERE outcome <> 'completed'
    GROUP BY 1, 2, 3, 4, 5, 6;
    INSERT INTO j4_station_last
    SELECT DISTINCT ON (station) station, line, ended, attempt, outcome, unit,
           program_version, host
    FROM j4_attempts
    ORDER BY station, ended DESC, attempt;
    INSERT INTO j4_slot_last
    SELECT DISTINCT ON (station, COALESCE(slot, 0)) station, COALESCE(slot, 0), outcome,
           message, unit, ended, attempt
    FROM j4_attempts
    ORDER BY station, COALESCE(slot, 0), ended DESC, attempt;
END $$;

CREATE OR REPLACE FUNCTION j4_zone_changed() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM j4_summaries_rebuilt();
    RETURN NULL;
END $$;
DROP TRIGGER IF EXISTS j4_schema_zone_changed ON j4_schema;
CREATE TRIGGER j4_schema_zone_changed AFTER UPDATE OF time_zone ON j4_schema
    FOR EACH ROW WHEN (OLD.time_zone IS DISTINCT FROM NEW.time_zone)
    EXECUTE FUNCTION j4_zone_changed();

-- First-pass and final yield by line, station, slot, release, work order
-- and the plant's day, each unit counted where it was first tried:
--   SELECT station, sum(units), sum(first_pass) FROM j4_yield
--   WHERE day = current_date GROUP BY station;
CREATE OR REPLACE VIEW j4_yield AS
SELECT line, station, slot, release, work_order, day, units, first_pass, completed,
       round(100.0 * first_pass / units, 1) AS first_pass_percent,
       round(100.0 * completed / units, 1) AS final_percent
FROM j4_yield_counts
WHERE units > 0;

-- Attempts that did not complete, by outcome and the reason the operator
-- was shown, per line, station and day; reached_device false: nothing was
-- sent to a unit (kept apart from failed updates).
CREATE OR REPLACE VIEW j4_failures AS
SELECT line, station, day, reached_device, outcome, reason, attempts
FROM j4_failure_counts;

-- The release each unit has now: its last completed attempt.
CREATE OR REPLACE VIEW j4_unit_release AS
SELECT DISTINCT ON (unit) unit, COALESCE(release_version, left(file_sha256, 12)) AS release,
       file_sha256, line, work_order, station, slot, ended AS since, attempt
FROM j4_attempts
WHERE unit IS NOT NULL AND outcome = 'completed'
ORDER BY unit, ended DESC, attempt;

-- Each work order as the plant assigned it: units done against its
-- quantity (as its claims count them, whichever assignment of the work
-- order they were made under), being made now, failed.
CREATE OR REPLACE VIEW j4_work_order_progress AS
SELECT a.line, a.work_order, a.lot, a.part_number, a.quantity, a.active, a.assigned,
       COALESCE(r.version, left(a.file_sha256, 12)) AS release,
       w.done, w.in_progress, w.failed
FROM j4_assignments a
JOIN j4_releases r ON r.file_sha256 = a.file_sha256
CROSS JOIN LATERAL j4_work_order_counts(a.work_order) w;

-- Every station and its last record.
CREATE OR REPLACE VIEW j4_stations AS
SELECT station, line, last_record, last_outcome, last_unit, program_version, host
FROM j4_station_last
ORDER BY station;

-- What each station does now, for a live view of the plant: a row per
-- slot, and a heartbeat, kept current by the station at most once a second
-- (and every 15 s unchanged). Listeners on j4_live hear a station's name
-- when it reports, listeners on j4_attempt when its records arrive.
CREATE TABLE IF NOT EXISTS j4_slot_states (
    station text NOT NULL,
    slot integer NOT NULL,               -- from 1; 0: the updater window's port
    state text NOT NULL,                 -- empty, plugged, scan, updating, completed, failed
    unit text,
    since timestamptz NOT NULL,
    PRIMARY KEY (station, slot)
);
CREATE TABLE IF NOT EXISTS j4_station_heartbeats (
    station text PRIMARY KEY,
    line text,
    program_version text,
    host text,
    slots integer NOT NULL,
    heard timestamptz NOT NULL
);
-- When a station was stopped on purpose (the end of a shift), so that the
-- plant tells it from one that went silent; cleared when it reports again.
ALTER TABLE j4_station_heartbeats ADD COLUMN IF NOT EXISTS stopped timestamptz;
CREATE OR REPLACE FUNCTION j4_station_heard() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('j4_live', NEW.station);
    RETURN NULL;
END $$;
DROP TRIGGER IF EXISTS j4_station_heartbeats_heard ON j4_station_heartbeats;
CREATE TRIGGER j4_station_heartbeats_heard AFTER INSERT OR UPDATE ON j4_station_heartbeats
    FOR EACH ROW EXECUTE FUNCTION j4_station_heard();
-- Once a statement, each station once: the records' inserts stay as fast.
-- The records are noted to be counted (as the layout's owner: a station's
-- role may only insert records); every 1024th statement counts what is
-- noted, should no live page have done it meanwhile.
CREATE OR REPLACE FUNCTION j4_attempts_arrived() RETURNS trigger LANGUAGE plpgsql
SECURITY DEFINER SET search_path FROM CURRENT AS $$
BEGIN
    PERFORM pg_notify('j4_attempt', station) FROM (SELECT DISTINCT station FROM arrived) s;
    INSERT INTO j4_uncounted SELECT attempt FROM arrived;
    IF nextval('j4_inserts_counted') % 1024 = 0 THEN
        PERFORM j4_counts_caught_up();
    END IF;
    RETURN NULL;
END $$;
DROP TRIGGER IF EXISTS j4_attempts_arrived ON j4_attempts;
CREATE TRIGGER j4_attempts_arrived AFTER INSERT ON j4_attempts
    REFERENCING NEW TABLE AS arrived FOR EACH STATEMENT EXECUTE FUNCTION j4_attempts_arrived();

-- An assignment a station refuses (its release signed by a key the station
-- does not trust, a version that is not the one signed): said to the plant,
-- which shows it, and cleared once the station follows an assignment again.
CREATE TABLE IF NOT EXISTS j4_line_refusals (
    station text PRIMARY KEY,
    line text NOT NULL,
    assignment bigint,
    reason text NOT NULL,
    said timestamptz NOT NULL DEFAULT now()
);
CREATE OR REPLACE FUNCTION j4_station_refuses(p_station text, p_line text,
                                              p_assignment bigint, p_reason text)
RETURNS void LANGUAGE sql AS $$
    DELETE FROM j4_line_refusals WHERE station = p_station AND p_reason = '';
    INSERT INTO j4_line_refusals (station, line, assignment, reason)
    SELECT p_station, p_line, p_assignment, left(p_reason, 1000) WHERE p_reason <> ''
    ON CONFLICT (station) DO UPDATE SET line = EXCLUDED.line, assignment = EXCLUDED.assignment,
                                        reason = EXCLUDED.reason, said = now();
$$;
-- The refusals of a line's active assignment, one "station: reason" each.
CREATE OR REPLACE FUNCTION j4_line_refused(p_line text) RETURNS text LANGUAGE sql STABLE AS $$
    SELECT string_agg(r.station || ': ' || r.reason, '; ' ORDER BY r.station)
    FROM j4_line_refusals r JOIN j4_assignments a ON a.id = r.assignment AND a.active
    WHERE r.line = p_line
$$;

-- The plant as its live view shows it, one JSON document: each line (its
-- assignment, units done, hold, today's yields and top failure reasons)
-- with its stations, each with its slots (what each does now, and its last
-- result) and when it was last heard. A
-- station unheard of for a minute is silent. Made anew on each NOTIFY,
-- with the counts caught up first.
CREATE OR REPLACE FUNCTION j4_live_view() RETURNS json LANGUAGE plpgsql AS $$
BEGIN
    PERFORM j4_counts_caught_up();
    RETURN j4_live_document();
END $$;
CREATE OR REPLACE FUNCTION j4_live_document() RETURNS json LANGUAGE sql STABLE AS $$
WITH today AS (
    SELECT (now() AT TIME ZONE j4_time_zone())::date AS day
), stations AS (
    SELECT h.station, COALESCE(h.line, '') AS line, h.heard, h.stopped,
           h.stopped IS NULL AND h.heard < now() - interval '1 minute' AS silent,
           (SELECT json_agg(json_build_object(
                       'slot', s.slot, 'state', s.state, 'unit', s.unit, 'since', s.since,
                       'last', CASE WHEN l.station IS NOT NULL THEN json_build_object(
                           'outcome', l.outcome, 'unit', l.unit, 'ended', l.ended,
                           'message', left(l.message, 500)) END) ORDER BY s.slot)
            FROM j4_slot_states s
            LEFT JOIN j4_slot_last l ON l.station = s.station AND l.slot = s.slot
            WHERE s.station = h.station AND s.slot <= h.slots) AS slots
    FROM j4_station_heartbeats h
), lines AS (
    SELECT l.line FROM (
        SELECT line FROM j4_assignments WHERE active
        UNION SELECT line FROM stations
    ) l
)
SELECT json_build_object(
    'now', now(),
    'lines', COALESCE((SELECT json_agg(json_build_object(
        'line', l.line,
        'release', p.release, 'work_order', p.work_order, 'lot', p.lot,
        'quantity', p.quantity, 'done', p.done,
        'refused', j4_line_refused(l.line),
        'held', (SELECT string_agg(CASE h.station WHEN '' THEN h.reason
                                   ELSE 'station ' || h.station || ': ' || h.reason END, '; ')
                 FROM j4_holds h WHERE h.line = l.line),
        'today', (SELECT json_build_object('units', COALESCE(sum(y.units), 0),
                                           'first_pass', COALESCE(sum(y.first_pass), 0),
                                           'completed', COALESCE(sum(y.completed), 0))
                  FROM j4_yield y, today WHERE y.line = l.line AND y.day = today.day),
        'failures', (SELECT json_agg(json_build_object('reason', f.reason, 'attempts', f.n))
                     FROM (SELECT x.reason, sum(x.attempts) AS n FROM j4_failures x, today
                           WHERE x.line = l.line AND x.day = today.day AND x.reached_device
                           GROUP BY x.reason ORDER BY n DESC LIMIT 3) f),
        'stations', COALESCE((SELECT json_agg(json_build_object(
            'station', s.station, 'heard', s.heard, 'silent', s.silent, 'stopped', s.stopped,
            'slots', s.slots)
            ORDER BY s.station) FROM stations s WHERE s.line = l.line), '[]'::json))
        ORDER BY l.line)
        FROM lines l
        LEFT JOIN j4_work_order_progress p ON p.line = l.line AND p.active), '[]'::json))
$$;

-- The lines the plant knows: assigned once, or reported on by a station.
CREATE OR REPLACE FUNCTION j4_known_lines() RETURNS SETOF text LANGUAGE sql STABLE AS $$
    SELECT line FROM j4_assignments
    UNION SELECT line FROM j4_station_heartbeats WHERE line IS NOT NULL AND line <> ''
    ORDER BY 1
$$;

-- Layout 4 added the summaries: count what came before them.
DO $$ BEGIN
    IF (SELECT plant FROM j4_schema) < 4 THEN
        PERFORM j4_summaries_rebuilt();
    END IF;
END $$;
UPDATE j4_schema SET plant = 5 WHERE plant IS NULL OR plant < 5;
