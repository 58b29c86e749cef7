-- Listeners on j4_live hear a station's name when what a page shows of it
-- changes: it appears, a slot's state or unit, its line, its slots, its
-- stop, or it is heard again after a silence. A heartbeat that changes
-- nothing says nothing: a notification's commit waits for every other's,
-- and a page reads the plant every few seconds anyway.
CREATE OR REPLACE FUNCTION j4_station_heard() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('j4_live', NEW.station);
    RETURN NULL;
END $$;
DROP TRIGGER IF EXISTS j4_station_heartbeats_heard ON j4_station_heartbeats;
CREATE TRIGGER j4_station_heartbeats_heard AFTER INSERT ON j4_station_heartbeats
    FOR EACH ROW EXECUTE FUNCTION j4_station_heard();
DROP TRIGGER IF EXISTS j4_station_heartbeats_changed ON j4_station_heartbeats;
CREATE TRIGGER j4_station_heartbeats_changed AFTER UPDATE ON j4_station_heartbeats
    FOR EACH ROW WHEN (OLD.line IS DISTINCT FROM NEW.line OR OLD.slots IS DISTINCT FROM NEW.slots
                       OR OLD.stopped IS DISTINCT FROM NEW.stopped
                       OR OLD.program_version IS DISTINCT FROM NEW.program_version
                       OR OLD.host IS DISTINCT FROM NEW.host
                       OR NEW.heard - OLD.heard > interval '1 minute')
    EXECUTE FUNCTION j4_station_heard();
DROP TRIGGER IF EXISTS j4_slot_states_added ON j4_slot_states;
CREATE TRIGGER j4_slot_states_added AFTER INSERT ON j4_slot_states
    FOR EACH ROW EXECUTE FUNCTION j4_station_heard();
DROP TRIGGER IF EXISTS j4_slot_states_changed ON j4_slot_states;
CREATE TRIGGER j4_slot_states_changed AFTER UPDATE ON j4_slot_states
    FOR EACH ROW WHEN (OLD.state IS DISTINCT FROM NEW.state OR OLD.unit IS DISTINCT FROM NEW.unit)
    EXECUTE FUNCTION j4_station_heard();

-- Whether records arrived that no reading counted yet: a live page asks
-- this a few times a second instead of hearing every insert.
CREATE OR REPLACE FUNCTION j4_records_waiting() RETURNS boolean LANGUAGE sql STABLE AS $$
    SELECT EXISTS (SELECT FROM j4_uncounted)
$$;

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
        'held', (SELECT string_agg(j4_hold_text(h.station, h.reason), '; ')
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

-- A unit's history, newest first, as the live page shows it: at most
-- p_limit attempts.
CREATE OR REPLACE FUNCTION j4_unit_history_json(p_unit text, p_limit integer) RETURNS json
LANGUAGE sql STABLE AS $$
    SELECT COALESCE(json_agg(h), '[]') FROM (
        SELECT unit, started, outcome, release_version, station, slot, operator, message
        FROM j4_unit_history WHERE unit = p_unit LIMIT p_limit) h
$$;

-- A station's slots as it sees them now and its heartbeat (whose trigger
-- tells the listeners), in one statement; p_slots a JSON array of {slot,
-- state, unit, since_ms}; p_stopped: the station was stopped on purpose.
CREATE OR REPLACE FUNCTION j4_report_live(p_station text, p_line text, p_version text,
                                          p_host text, p_slots json, p_stopped boolean)
RETURNS void LANGUAGE sql AS $$
    WITH slots AS (
        INSERT INTO j4_slot_states (station, slot, state, unit, since)
        SELECT p_station, s.slot, s.state, s.unit, to_timestamp(s.since_ms / 1000.0)
        FROM json_to_recordset(p_slots) AS s(slot integer, state text, unit text, since_ms bigint)
        ON CONFLICT (station, slot) DO UPDATE SET
            state = EXCLUDED.state, unit = EXCLUDED.unit, since = EXCLUDED.since
        RETURNING 1
    )
    INSERT INTO j4_station_heartbeats (station, line, program_version, host, heard, slots, stopped)
    VALUES (p_station, NULLIF(p_line, ''), p_version, p_host, now(), (SELECT count(*) FROM slots),
            CASE WHEN p_stopped THEN now() END)
    ON CONFLICT (station) DO UPDATE SET
        line = EXCLUDED.line, program_version = EXCLUDED.program_version, host = EXCLUDED.host,
        heard = now(), slots = EXCLUDED.slots, stopped = EXCLUDED.stopped
$$;
