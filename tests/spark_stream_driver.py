"""A streaming query that tests/test_spark.py kills and restarts: CSV files in, scores out as Parquet.

    python spark_stream_driver.py INPUT_DIR OUTPUT_DIR CHECKPOINT_DIR [bucketed]

Reads one file per micro-batch, scores it with arbolet.spark.score_by_key
(the settings in SETTINGS) and writes through the file sink, whose metadata
log makes readers see each committed micro-batch exactly once. Stops when
every file present at the start has been processed. With "bucketed", the keys
are kept by bucket in the RocksDB state store, a snapshot every second
micro-batch.
"""

import sys

from pyspark.sql import SparkSession

from arbolet.spark import score_by_key

SETTINGS = {"num_trees": 8, "capacity": 16, "shingle_size": 2, "output_after": 4, "seed": 7}
SCHEMA = "host STRING, t LONG, v DOUBLE, w DOUBLE"


def main() -> None:
    source, sink, checkpoint = sys.argv[1:4]
    bucketed = sys.argv[4:] == ["bucketed"]
    builder = (SparkSession.builder.master("local[2]").appName("arbolet-recovery")
               .config("spark.sql.shuffle.partitions", "2").config("spark.ui.enabled", "false")
               .config("spark.ui.showConsoleProgress", "false"))
    if bucketed:
        builder = builder.config("spark.sql.streaming.stateStore.providerClass",
                                 "org.apache.spark.sql.execution.streaming.state.RocksDBStateStoreProvider")
    spark = builder.getOrCreate()
    rows = spark.readStream.schema(SCHEMA).option("maxFilesPerTrigger", 1).option("header", True).csv(source)
    layout = {"buckets": 3, "snapshot_every": 2} if bucketed else {}
    scores = score_by_key(rows, "host", ["v", "w"], "t", **layout, **SETTINGS)
    query = (scores.writeStream.format("parquet").option("path", sink).option("checkpointLocation", checkpoint)
             .trigger(availableNow=True).start())
    query.awaitTermination()
    print("finished", flush=True)


if __name__ == "__main__":
    main()
