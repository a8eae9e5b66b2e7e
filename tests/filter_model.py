"""A pure-Python rendering of `filter_results`, statement by statement.

The differential tests hold the extension module against it, and the benchmark
measures the module against it. It recurses by calling itself directly; the module
looks its own name up in its globals for each step, which the tests check apart.

One known difference: a `filters` that can be indexed but not sliced (such as
`collections.deque`) fails in both with TypeError, but the message here is the
interpreter's slicing message, not the module's "'%.200s' object is unsliceable".
"""

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
