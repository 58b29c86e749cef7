-- A share in percent, to one decimal, as every yield is shown.
CREATE OR REPLACE FUNCTION j4_percent(p_part bigint, p_whole bigint) RETURNS numeric
LANGUAGE sql IMMUTABLE AS $$
    SELECT round(100.0 * p_part / p_whole, 1)
$$;

-- Yield per work order: units completed against the quantity.
CREATE OR REPLACE VIEW j4_work_order_yield AS
SELECT line, work_order, lot, part_number, attempts, completed, attempts - completed AS failed,
       j4_percent(completed, attempts) AS yield_percent
FROM (SELECT line, work_order, lot, part_number, count(*) AS attempts,
             count(*) FILTER (WHERE outcome = 'completed') AS completed
      FROM j4_attempts
      WHERE work_order IS NOT NULL
      GROUP BY line, work_order, lot, part_number) w;

-- First-pass and final yield by line, station, slot, release, work order
-- and the plant's day, each unit counted where it was first tried:
--   SELECT station, sum(units), sum(first_pass) FROM j4_yield
--   WHERE day = current_date GROUP BY station;
CREATE OR REPLACE VIEW j4_yield AS
SELECT line, station, slot, release, work_order, day, units, first_pass, completed,
       j4_percent(first_pass, units) AS first_pass_percent,
       j4_percent(completed, units) AS final_percent
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
