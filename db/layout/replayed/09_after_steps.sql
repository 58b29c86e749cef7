-- The counts (step 5) begin with what came before them, counted once: in
-- the run that added them. j4.steps_before is the step the run began at.
DO $$ BEGIN
    IF current_setting('j4.steps_before')::integer < 5 THEN
        PERFORM j4_summaries_rebuilt();
    END IF;
END $$;

-- Stations of earlier releases read the plant's layout from
-- j4_schema.plant and extend it themselves below their own: it is every
-- step but the records' first.
UPDATE j4_schema SET plant = (SELECT max(step) - 1 FROM j4_layout_steps);
