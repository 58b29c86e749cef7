-- A hold as everyone says it: its reason, after the station's name where it
-- holds one station only ('' for the whole line).
CREATE OR REPLACE FUNCTION j4_hold_text(p_station text, p_reason text) RETURNS text
LANGUAGE sql IMMUTABLE AS $$
    SELECT CASE WHEN p_station = '' THEN p_reason ELSE 'station ' || p_station || ': ' || p_reason END
$$;

-- Why a station of a line may start no unit (its line's hold first, then
-- its own); NULL: neither is held.
CREATE OR REPLACE FUNCTION j4_held(p_line text, p_station text) RETURNS text
LANGUAGE sql STABLE AS $$
    SELECT j4_hold_text(h.station, h.reason) FROM j4_holds h
    WHERE h.line = p_line AND h.station IN ('', p_station) ORDER BY h.station LIMIT 1
$$;

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
    held := j4_held(p_line, p_station);
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
    RETURN j4_hold_text(CASE WHEN a.stop_whole_line THEN '' ELSE c.station END, why);
END $$;

-- Every hold of a line lifted, the station's and the whole line's: false
-- when it was not held.
CREATE OR REPLACE FUNCTION j4_resume(p_line text) RETURNS boolean LANGUAGE sql AS $$
    WITH lifted AS (DELETE FROM j4_holds WHERE line = p_line RETURNING line)
    SELECT count(*) > 0 FROM lifted
$$;

-- What a line station looks at between units: its line's active
-- assignment, the work order's units done, and its hold.
CREATE OR REPLACE FUNCTION j4_line_look(p_line text, p_station text)
RETURNS TABLE (assignment bigint, quantity integer, done bigint, held text)
LANGUAGE sql STABLE AS $$
    SELECT a.id, a.quantity, (j4_work_order_counts(a.work_order)).done, j4_held(p_line, p_station)
    FROM j4_assignments a WHERE a.line = p_line AND a.active
$$;

-- A unit made while the database was out of reach, counted now against the
-- assignment it was made for (once: its attempt is its key).
CREATE OR REPLACE FUNCTION j4_count_offline(p_assignment bigint, p_attempt uuid, p_station text,
                                            p_completed boolean) RETURNS void LANGUAGE sql AS $$
    INSERT INTO j4_claims (attempt, assignment, station, expires, state, settled)
    VALUES (p_attempt, p_assignment, p_station, now(),
            CASE WHEN p_completed THEN 'completed' ELSE 'failed' END, now())
    ON CONFLICT (attempt) DO NOTHING
$$;

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
