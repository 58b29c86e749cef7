-- The plant's day, in its own time zone (UTC unset).
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

-- Once a statement: the records' inserts stay as fast. The records are
-- noted to be counted (as the layout's owner: a station's role may only
-- insert records); every 1024th statement counts what is noted, should no
-- live page have done it meanwhile. No notification: a commit that carries
-- one waits for every other such commit, which would set the plant's
-- ceiling; a live page looks for noted records instead.
CREATE OR REPLACE FUNCTION j4_attempts_arrived() RETURNS trigger LANGUAGE plpgsql
SECURITY DEFINER SET search_path FROM CURRENT AS $$
BEGIN
    INSERT INTO j4_uncounted SELECT attempt FROM arrived;
    IF nextval('j4_inserts_counted') % 1024 = 0 THEN
        PERFORM j4_counts_caught_up();
    END IF;
    RETURN NULL;
END $$;
DROP TRIGGER IF EXISTS j4_attempts_arrived ON j4_attempts;
CREATE TRIGGER j4_attempts_arrived AFTER INSERT ON j4_attempts
    REFERENCING NEW TABLE AS arrived FOR EACH STATEMENT EXECUTE FUNCTION j4_attempts_arrived();
