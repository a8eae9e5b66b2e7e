"""A pure-Python rendering of the module's functions, statement by statement:
the filter, the login, the API call and the driver's loop over a directory.

The differential tests hold the extension module against it, and the filter
benchmark measures the module's filter against this one. Where the module looks
a name up among its globals at each call (`requests`, the module functions for
their recursion), the rendering takes `requests` as an argument and calls its
own functions directly; the tests check those lookups apart. `main` starts after
the command line and the prompts, which the driver tests cover.

Known differences:
- A `filters` that can be indexed but not sliced (such as `collections.deque`)
  fails in both with TypeError, but the message here is the interpreter's
  slicing message, not the module's "'%.200s' object is unsliceable".
- A cycle of output references raises ValueError in both; the module's message
  also names the files of the cycle.
"""

import configparser
import os
import pprint
import sys

NOT_FOUND = "FILTER_NOT_FOUND"


def filter_results(results, filters):
    if len(filters) < 1:
        return results

    current_filter = filters[0]
    remaining_filters = filters[1:]
    split_filters = [piece.strip() for piece in current_filter.split("&")]

    # A list is tested first, so a type deriving from both list and dict is a list.
    if isinstance(results, list):
        new_results = []
        if len(split_filters) > 1:
            for result in results:
                new_dict = {}
                for key in split_filters:
                    try:
                        new_dict[key] = result[key]
                    except KeyError:
                        new_dict[key] = NOT_FOUND
                new_results.append(new_dict)
            return filter_results(new_results, remaining_filters)
        # A single step on a list catches nothing: one element without the key
        # fails the whole filter.
        for result in results:
            new_results.append(result[split_filters[0]])
        return filter_results(new_results, remaining_filters)

    if isinstance(results, dict):
        new_results = {}
        if len(split_filters) > 1:
            for key in split_filters:
                try:
                    new_results[key] = results[key]
                except KeyError:
                    new_results[key] = NOT_FOUND
            return filter_results(new_results, remaining_filters)
        # A single step on a dict looks up the step as given, blanks included,
        # and descends into the member.
        try:
            new_results[current_filter] = results[current_filter]
        except KeyError:
            new_results[current_filter] = NOT_FOUND
        return filter_results(new_results[current_filter], remaining_filters)

    return None


def get_tarvenox_cid(requests, controller_ip, username, password):
    controller_api_url = "https://" + controller_ip + "/v1/api"
    r = requests.post(controller_api_url, data={"action": "login", "username": username, "password": password},
                      verify=False)
    try:
        return r.json()["CID"]
    except Exception:
        print("Login failed")
        sys.exit(1)


def comparable_path(path):
    try:
        return os.path.realpath(path)
    except Exception:
        return path


def tarvenox_api(requests, controller_ip, username, password, config_dir, config_file, chain=()):
    """`chain`: the files of the output references that led here, compared by
    real path, so that a cycle is refused rather than run until the recursion
    limit."""
    url = "https://" + controller_ip + "/v1/api"
    config = configparser.ConfigParser()
    with open(config_file) as handle:
        config.read_file(handle)
    rdata = {"CID": get_tarvenox_cid(requests, controller_ip, username, password)}
    try:
        filters = [item.strip() for item in config.get("default", "filters").split(",")]
    except Exception:
        filters = []
    reference = None
    for option in config.options("tarvenox"):
        rdata[option] = config.get("tarvenox", option)
        if rdata[option].startswith("output(") and rdata[option].endswith(")"):
            reference = option, os.path.join(config_dir, rdata[option][7:len(rdata[option]) - 1])
    if reference is None:
        r = requests.post(url, data=rdata, verify=False)
        return filter_results(r.json(), filters)
    option, filepath = reference
    here, there = comparable_path(config_file), comparable_path(filepath)
    if there == here or there in chain:
        raise ValueError("output reference cycle")
    compound_results = tarvenox_api(requests, controller_ip, username, password, config_dir, filepath,
                                    (*chain, here))
    if compound_results is None:
        raise ValueError(f"output reference {filepath} gave None, not a list")
    if isinstance(compound_results, str):
        raise ValueError(f"output reference {filepath} gave a text, not a list: {compound_results!r}")
    if isinstance(compound_results, list):
        for element in compound_results:
            if isinstance(element, dict):
                raise ValueError(f"output reference {filepath} gave a record, not a value: {element!r}")
    compound_return = []
    for result in compound_results:
        rdata[option] = result
        r = requests.post(url, data=rdata, verify=False)
        compound_return.append({"object": result, "results": filter_results(r.json(), filters)})
    return compound_return


def main(requests, controller_ip, username, password, config_dir, out):
    """The run from the first login on, printing to `out`."""
    get_tarvenox_cid(requests, controller_ip, username, password)
    for file in os.listdir(config_dir):
        if not file.endswith(".cfg"):
            continue
        filepath = os.path.join(config_dir, file)
        config = configparser.ConfigParser()
        with open(filepath) as handle:
            config.read_file(handle)
        try:
            print(config.get("default", "description"), file=out)
        except Exception:
            pass
        result = tarvenox_api(requests, controller_ip, username, password, config_dir, filepath)
        pprint.PrettyPrinter(width=200, stream=out).pprint(result)
        print("\n", file=out)
