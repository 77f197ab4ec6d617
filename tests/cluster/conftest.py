"""One Dask cluster of two worker processes (one thread each) per test module of this folder."""

import cloudpickle
import dask
import distributed
import pytest

import ondrel.cluster


@pytest.fixture(scope="module", autouse=True)
def _functions_travel_by_value(request):
    """The workers cannot import a test module, so its functions travel to them by value."""
    cloudpickle.register_pickle_by_value(request.module)
    yield
    cloudpickle.unregister_pickle_by_value(request.module)


@pytest.fixture(scope="module")
def dask_cluster():
    # A task may lose one worker and run again; one that kills every worker it runs on gives up soon.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}), distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", memory_limit=0) as cluster:
        try:
            yield cluster
        finally:
            ondrel.cluster.disconnect()


@pytest.fixture
def on_cluster(dask_cluster):
    """Jobs of the test run on the module's cluster."""
    with ondrel.cluster.using(dask_cluster.scheduler_address):
        yield dask_cluster


@pytest.fixture
def here():
    """Jobs of the test run on this machine, whatever $ONDREL_CLUSTER says."""
    with ondrel.cluster.using(None):
        yield
